#pragma once

#include <string>

#include "server/backend.h"
#include "server/sqlite_connection.h"

namespace velmora::server {

// The backend on an SQLite file: the process's one SqliteConnection to it, WAL with
// synchronous=FULL, a busy wait for other operators' locks.
class SqliteBackend final : public Backend {
 public:
  SqliteBackend(std::string database, int busyTimeoutMs)
      : FDatabase(std::move(database)), FBusyTimeoutMs(busyTimeoutMs) {}

  Status OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) override;
  Status ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) override;

 private:
  // Runs every statement of text inside the open transaction.
  static Status RunStatements(SqliteConnection& connection, std::u16string_view text);

  const std::string FDatabase;
  const int FBusyTimeoutMs;
};

}  // namespace velmora::server
