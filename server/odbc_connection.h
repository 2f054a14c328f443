#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "server/failure.h"

namespace velmora::server {

// UTF-16 travels to and from the driver as SQLWCHAR without conversion.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's SQLWCHAR must be UTF-16");

inline const SQLWCHAR* ToSql(const char16_t* text) { return reinterpret_cast<const SQLWCHAR*>(text); }
inline SQLWCHAR* ToSql(char16_t* text) { return reinterpret_cast<SQLWCHAR*>(text); }

// The driver's diagnostic records of handle as one failure: "<message> (SQLSTATE
// xxxxx)", several records one a line. code is kOdbcFailed or, when a record's
// SQLSTATE is of class 08 (connection exception), kOdbcConnectionFailed.
Status OdbcFailure(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view fallback);

// The process's connection to the database server its connection string names,
// shared by the service objects and the record sets they open (a record set keeps
// it alive). Every use of Handle() holds Mutex().
class OdbcConnection {
 public:
  // The connection for connectionString: the open one when it is for the same
  // string and the driver does not know it dead, else a newly opened one that
  // replaces it. Fails with the driver's diagnostic when the connection cannot be
  // made.
  static Status Acquire(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection);

  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;
  ~OdbcConnection();

  SQLHDBC Handle() const { return FDbc; }
  std::mutex& Mutex() { return FMutex; }

  // The server's identifier quote (u'"' for most, u'[' for some, u' ' for none).
  char16_t IdentifierQuote() const { return FQuote; }
  // True when the driver reads any column of any row of a fetched block by
  // SQLGetData, bound or not: rows may then be fetched in blocks.
  bool BlockFetch() const { return FBlockFetch; }

  // True when the driver knows the connection lost (the server ended the session,
  // restarted, or the network failed); a connection that is dead is never handed
  // out again. Call it holding Mutex().
  bool Dead() const;

  // False in a child process that inherited the connection through fork(): its
  // socket is the parent's, and must not be used there, not even to be closed.
  bool OwnedByThisProcess() const;

 private:
  OdbcConnection(SQLHDBC dbc, std::string connectionString);
  static Status Open(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection);

  SQLHDBC FDbc;  // owned, connected
  std::string FConnectionString;
  char16_t FQuote = u'"';
  bool FBlockFetch = false;
  pid_t FOwner;
  std::mutex FMutex;
};

}  // namespace velmora::server
