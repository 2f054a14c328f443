#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "server/failure.h"
#include "server/sql_text.h"

namespace velmora::server {

// UTF-16 travels to and from the driver as SQLWCHAR without conversion.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's SQLWCHAR must be UTF-16");

inline const SQLWCHAR* ToSql(const char16_t* text) { return reinterpret_cast<const SQLWCHAR*>(text); }
inline SQLWCHAR* ToSql(char16_t* text) { return reinterpret_cast<SQLWCHAR*>(text); }

// The driver's diagnostic records of handle as one failure: "<message> (SQLSTATE
// xxxxx)", several records one a line. code is kOdbcFailed or, when a record's
// SQLSTATE is of class 08 (connection exception), kOdbcConnectionFailed.
Status OdbcFailure(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view fallback);

// How long the service waits for a server, whatever the server does.
struct OdbcBounds {
  // A login, also when the driver ignores SQL_ATTR_LOGIN_TIMEOUT.
  static constexpr std::chrono::milliseconds kLogin{15000};
  // One statement; the server is asked to stop it at this bound itself.
  std::chrono::milliseconds Statement{30000};
  // A wait for another session's lock.
  std::chrono::milliseconds Lock{5000};
};

// connectionString as the service connects with it to a server of dialect: the
// options that make the server (not the driver) read each text whole and, for
// the MySQL family, count the rows a statement matched rather than the rows whose
// value it changed. Any of the site's own settings of those options is replaced.
std::string ConnectionStringFor(const std::string& connectionString, SqlDialect dialect);

// The process's connection to the database server its connection string names,
// shared by the service objects and the record sets they open (a record set keeps
// it alive). Every use of Handle() holds Mutex(), and every call of the driver
// that may wait for the server goes through Bounded().
class OdbcConnection : public std::enable_shared_from_this<OdbcConnection> {
 public:
  // The connection for connectionString: the open one when it is for the same
  // string and the driver does not know it dead, else a newly opened one that
  // replaces it. Fails with the driver's diagnostic when the connection cannot be
  // made, and when the login takes longer than OdbcBounds::kLogin.
  static Status Acquire(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection);

  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;
  ~OdbcConnection();

  SQLHDBC Handle() const { return FDbc; }
  std::mutex& Mutex() { return FMutex; }

  // The server's identifier quote (u'"' for most, u'`' for MySQL, u'[' for some,
  // u' ' for none).
  char16_t IdentifierQuote() const { return FQuote; }
  SqlDialect Dialect() const { return FDialect; }
  // True when the driver reads any column of any row of a fetched block by
  // SQLGetData, bound or not: rows may then be fetched in blocks.
  bool BlockFetch() const { return FBlockFetch; }

  // Runs work (a call of the driver that may wait for the server) on a thread of
  // its own and waits for it at most bound. Past the bound the statement, when
  // there is one, is cancelled; a driver that does not return even then is left
  // to its thread with everything work holds (work must own what it uses), and
  // this connection is given up: it is never used again by this process. rc is
  // work's result, or SQL_ERROR with a timeout set when it did not finish.
  SQLRETURN Bounded(std::chrono::milliseconds bound, SQLHSTMT cancel, std::function<SQLRETURN()> work,
                    bool& timedOut);
  // True once a call was left to its thread.
  bool GivenUp() const { return FGivenUp; }

  // PostgreSQL's search_path as the site's role sets it, read once when the
  // session begins, before any text of a client ran on it; "" until then.
  const std::string& SearchPath() const { return FSearchPath; }
  void SetSearchPath(std::string path) { FSearchPath = std::move(path); }

  // True when the driver knows the connection lost (the server ended the session,
  // restarted, or the network failed), or it was given up; a connection that is
  // dead is never handed out again. Call it holding Mutex().
  bool Dead();

  // False in a child process that inherited the connection through fork(): its
  // socket is the parent's, and must not be used there, not even to be closed.
  bool OwnedByThisProcess() const;

 private:
  OdbcConnection(SQLHDBC dbc, std::string connectionString);
  static Status Open(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection);

  SQLHDBC FDbc;  // owned, connected
  std::string FConnectionString;
  char16_t FQuote = u'"';
  SqlDialect FDialect = SqlDialect::Generic;
  bool FBlockFetch = false;
  std::atomic<bool> FGivenUp = false;
  std::string FSearchPath;  // PostgreSQL's, as the session began
  pid_t FOwner;
  std::mutex FMutex;
};

// A statement handle on a connection, freed when it goes (unless the connection
// was given up: a thread left with the driver may still use it).
class OdbcStatement {
 public:
  explicit OdbcStatement(std::shared_ptr<OdbcConnection> connection);
  OdbcStatement(const OdbcStatement&) = delete;
  OdbcStatement& operator=(const OdbcStatement&) = delete;
  ~OdbcStatement() { Reset(); }

  SQLHSTMT Handle() const { return FHandle; }
  // Frees the handle now.
  void Reset();
  // Leaves the handle to whoever has it now (the record set that owns it).
  SQLHSTMT Release() {
    SQLHSTMT handle = FHandle;
    FHandle = SQL_NULL_HSTMT;
    return handle;
  }

 private:
  std::shared_ptr<OdbcConnection> FConnection;
  SQLHSTMT FHandle = SQL_NULL_HSTMT;
};

}  // namespace velmora::server
