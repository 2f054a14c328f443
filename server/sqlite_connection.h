#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "server/failure.h"

namespace velmora::server {

// A prepared statement, finalized when it goes.
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// The process's connection to its database, shared by the service objects and the
// record sets they open (a record set keeps it alive). Every use of Handle() holds
// Mutex(): objects of one connection may be used from different threads.
class SqliteConnection {
 public:
  // The connection to database: the open one when it is to that file (the same
  // file, not just the same name: a file replaced or removed since is opened
  // anew), else a newly opened one that replaces it. Fails when the file does not
  // exist or cannot be opened as a database; a missing file is never created.
  static Status Acquire(const std::string& database, int busyTimeoutMs, std::shared_ptr<SqliteConnection>& connection);

  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;
  ~SqliteConnection();

  sqlite3* Handle() const { return FDb; }
  std::mutex& Mutex() { return FMutex; }

  // SQLite's failure rc with the connection's message; call it holding Mutex(),
  // right after the call that failed.
  Status SqliteFailure(int rc) const;

  // False in a child process that inherited the connection through fork(): SQLite
  // handles must not be used there, not even to be closed.
  bool OwnedByThisProcess() const;

 private:
  SqliteConnection(sqlite3* db, std::string path, const struct stat& file, int busyTimeoutMs);
  static Status Open(const std::string& database, int busyTimeoutMs, std::shared_ptr<SqliteConnection>& connection);

  sqlite3* FDb;
  std::string FPath;
  dev_t FDevice;  // the file opened, which its name may no longer lead to
  ino_t FInode;
  pid_t FOwner;
  int FBusyTimeoutMs;
  std::mutex FMutex;
};

}  // namespace velmora::server
