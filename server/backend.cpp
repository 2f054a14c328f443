#include "server/backend.h"

#include "server/odbc_backend.h"
#include "server/sqlite_backend.h"

namespace velmora::server {

std::unique_ptr<Backend> Backend::For(const ServiceSettings& settings) {
  if (!settings.Odbc.empty()) return std::make_unique<OdbcBackend>(settings);
  return std::make_unique<SqliteBackend>(
      SqliteOptions{settings.Database, settings.BusyTimeoutMs, settings.StatementTimeoutMs, settings.Journal});
}

}  // namespace velmora::server
