#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/failure.h"

namespace velmora::server {

// A prepared statement, finalized when it goes.
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// How the service uses an SQLite file.
struct SqliteOptions {
  std::string Database;            // the file
  int BusyTimeoutMs = 5000;        // how long a statement waits for another connection's lock
  int StatementTimeoutMs = 30000;  // how long one call may run
  std::string Journal;             // the journal mode asked for ("wal", "delete"); empty: the file's own
};

// The process's connection to its database, shared by the service objects and the
// record sets they open (a record set keeps it alive). Every use of Handle() is
// inside a Call: objects of one connection may be used from different threads.
//
// The connection runs texts from anyone, so it is fenced in: a defensive schema,
// no extensions, an authorizer that lets through only what a client of a
// controller database needs, limits on sizes and a deadline on every call.
class SqliteConnection {
 public:
  // The connection to options.Database: the open one when it is to that file (the
  // same file, not just the same name: a file replaced or removed since is opened
  // anew), else a newly opened one that replaces it. Fails when the file does not
  // exist or cannot be opened as a database; a missing file is never created.
  static Status Acquire(const SqliteOptions& options, std::shared_ptr<SqliteConnection>& connection);

  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;
  ~SqliteConnection();

  // One call's hold of the connection: its mutex, and a deadline of the statement
  // timeout from now, after which SQLite stops whatever runs.
  class Call {
   public:
    explicit Call(SqliteConnection& connection);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call();

   private:
    std::lock_guard<std::mutex> FLock;
    SqliteConnection& FConnection;
  };

  sqlite3* Handle() const { return FDb; }

  // A text longer than SQLite would take is refused before SQLite converts it.
  static Status CheckLength(std::u16string_view text);
  // What the authorizer never sees: VACUUM (INTO a file of the caller's choice).
  static Status CheckStatement(std::string_view keyword);

  // Runs one of the service's own statements (BEGIN IMMEDIATE, COMMIT, ROLLBACK),
  // which the fence lets through; inside a Call.
  int ExecOwn(const char* sql);

  // SQLite's failure rc with a description of what stopped it: the fence's reason,
  // the deadline, a limit, or SQLite's own message. Inside a Call, right after the
  // call that failed.
  Status SqliteFailure(int rc) const;

  // After a call: the connection is back in autocommit, rolled back if need be;
  // when even that fails it is discarded and the failure says so. Inside a Call.
  Status EnsureAutocommit();

  // False in a child process that inherited the connection through fork(): SQLite
  // handles must not be used there, not even to be closed.
  bool OwnedByThisProcess() const;

 private:
  SqliteConnection(sqlite3* db, const SqliteOptions& options, const struct stat& file);
  static Status Open(const SqliteOptions& options, std::shared_ptr<SqliteConnection>& connection);
  static void Harden(sqlite3* db);
  void Fence();
  static int Authorize(void* self, int action, const char* first, const char* second, const char* database,
                       const char* trigger);
  static int OnProgress(void* self);

  sqlite3* FDb;
  std::string FPath;
  dev_t FDevice;  // the file opened, which its name may no longer lead to
  ino_t FInode;
  pid_t FOwner;
  int FBusyTimeoutMs;
  int FStatementTimeoutMs;
  std::mutex FMutex;
  bool FDiscarded = false;  // never handed out again
  bool FOwnStatement = false;
  bool FTimedOut = false;
  std::chrono::steady_clock::time_point FDeadline = std::chrono::steady_clock::time_point::max();
  std::optional<Status> FRefusal;  // why the authorizer refused the last statement
};

}  // namespace velmora::server
