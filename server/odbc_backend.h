#pragma once

#include <string>

#include "server/backend.h"
#include "server/odbc_connection.h"

namespace velmora::server {

// The backend on a database server reached through ODBC: the process's one
// OdbcConnection for the connection string, one statement per text (the server
// prepares it and refuses several), the client's [bracketed] names put into the
// server's quoting, a query in a read-only transaction, a command as one
// transaction of its own, every wait bounded.
class OdbcBackend final : public Backend {
 public:
  explicit OdbcBackend(const ServiceSettings& settings);

  Status OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) override;
  Status ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) override;

 private:
  // One attempt of ExecuteCommand on connection; a failure has ConnectionLost set
  // when it came from a dead connection before the commit was asked for.
  Status RunTransaction(const std::shared_ptr<OdbcConnection>& connection, std::u16string_view text,
                        const BeforeCommit& beforeCommit) const;

  const std::string FConnectionString;
  OdbcBounds FBounds;
};

}  // namespace velmora::server
