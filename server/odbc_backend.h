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

  ComPtr<IRecordset> OpenQuery(const VelmoraHostApi& host, std::u16string_view text, Failure& failure) override;
  bool ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit, Failure& failure) override;

 private:
  // One attempt of ExecuteCommand on connection; lost is set when a failure came
  // from a dead connection before the commit was asked for.
  static bool RunTransaction(OdbcConnection& connection, const std::vector<std::u16string_view>& statements,
                             const BeforeCommit& beforeCommit, Failure& failure, bool& lost);

  const std::string FConnectionString;
};

}  // namespace velmora::server
