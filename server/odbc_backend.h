#pragma once

#include <string>
#include <vector>

#include "server/backend.h"
#include "server/odbc_connection.h"

namespace velmora::server {

// The backend on a database server reached through ODBC: the process's one
// OdbcConnection for the connection string, the client's [bracketed] names put
// into the server's quoting, a command as one transaction with autocommit off.
class OdbcBackend final : public Backend {
 public:
  explicit OdbcBackend(std::string connectionString) : FConnectionString(std::move(connectionString)) {}

  Status OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) override;
  Status ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) override;

 private:
  // One attempt of ExecuteCommand on connection; a failure has ConnectionLost set
  // when it came from a dead connection before the commit was asked for.
  static Status RunTransaction(OdbcConnection& connection, const std::vector<std::u16string_view>& statements,
                               const BeforeCommit& beforeCommit);

  const std::string FConnectionString;
};

}  // namespace velmora::server
