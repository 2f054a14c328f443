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

  ComPtr<IRecordset> OpenQuery(const VelmoraHostApi& host, std::u16string_view text, Failure& failure) override;
  bool ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit, Failure& failure) override;

 private:
  // Runs every statement of text inside the open transaction.
  static bool RunStatements(SqliteConnection& connection, std::u16string_view text, Failure& failure);

  const std::string FDatabase;
  const int FBusyTimeoutMs;
};

}  // namespace velmora::server
