#pragma once

#include <memory>
#include <string>

#include "server/odbc_connection.h"
#include "server/text_rules.h"

namespace velmora::server {

// One call of a client on a connection, as a transaction of its own: first the
// session is put back as the service keeps it (the server's own statement and
// lock bounds, PostgreSQL's search_path with temporary tables last), whatever an
// earlier text did to it; then a transaction begins, read only for a query, so
// that the server refuses whatever a query would write. Every wait for the server
// is bounded. The caller holds the connection's mutex for the call's life.
class OdbcCall {
 public:
  OdbcCall(std::shared_ptr<OdbcConnection> connection, const OdbcBounds& bounds, TextUse use);
  OdbcCall(const OdbcCall&) = delete;
  OdbcCall& operator=(const OdbcCall&) = delete;
  // Rolls back what neither Commit nor Finish ended.
  ~OdbcCall();

  Status Begin();
  // Prepares text (one statement, in the server's quoting) on statement, through
  // the server, and runs it.
  Status Run(SQLHSTMT statement, const std::u16string& text);
  // Commits a command's transaction.
  Status Commit();
  // Ends a query's transaction; its rows stay readable (the drivers keep them).
  void Finish();

  OdbcConnection& Connection() { return *FConnection; }

 private:
  // One statement of the service's own.
  Status Own(const std::u16string& sql);
  Status SetAutocommit(bool on);
  // status, marked lost when the connection turned out dead.
  Status Failed(Status status);
  Status TimedOut(const char* what) const;
  void End(SQLSMALLINT completion);

  std::shared_ptr<OdbcConnection> FConnection;
  OdbcBounds FBounds;
  TextUse FUse;
  bool FInTransaction = false;
};

}  // namespace velmora::server
