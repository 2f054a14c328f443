#include "backend_database.h"

#include <cstdlib>

namespace velmora::test {
namespace {

class SqliteDatabase final : public BackendDatabase {
 public:
  explicit SqliteDatabase(std::string path) : BackendDatabase(kSqlite), FPath(std::move(path)) {}

  void CreateControllers(const std::vector<std::string>& rows) override { CreateControllersDb(FPath, rows); }
  void Exec(const std::string& sql) override { SqliteFile(FPath).Exec(sql); }
  std::string Dump(const std::string& sql) override { return SqliteFile(FPath, SQLITE_OPEN_READONLY).Dump(sql); }
  std::map<std::string, std::string> ServiceEnvironment() const override {
    return {{"VELMORA_DATABASE", FPath}, {"VELMORA_ODBC", ""}};
  }

 private:
  std::string FPath;
};

// A database of its own on a test server, through ODBC.
template <class Database>
class ServerBackendDatabase final : public BackendDatabase {
 public:
  ServerBackendDatabase(const char* backend, const std::string& server, const char* schema)
      : BackendDatabase(backend), FDatabase(server), FSchema(schema) {}

  void CreateControllers(const std::vector<std::string>& rows) override {
    Exec(FSchema);
    for (const std::string& row : rows) Exec("INSERT INTO Controllers VALUES " + row);
  }
  void Exec(const std::string& sql) override { FDatabase.Connection().Exec(sql); }
  std::string Dump(const std::string& sql) override { return FDatabase.Connection().Dump(sql); }
  std::map<std::string, std::string> ServiceEnvironment() const override {
    return {{"VELMORA_DATABASE", ""}, {"VELMORA_ODBC", FDatabase.ConnectionString()}};
  }
  std::string DatabaseName() const override { return FDatabase.Name(); }
  OdbcDatabase* Odbc() override { return &FDatabase.Connection(); }

 private:
  Database FDatabase;
  const char* FSchema;
};

}  // namespace

bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

std::unique_ptr<BackendDatabase> BackendDatabase::Make(const std::string& backend, const TempDir& dir,
                                                       std::string& reason) {
  if (backend == kSqlite) return std::make_unique<SqliteDatabase>(dir.File("controllers.db"));
  if (backend == kMariadb) {
    const std::string server = MariadbServer(reason);
    if (server.empty()) return nullptr;
    return std::make_unique<ServerBackendDatabase<MariadbDatabase>>(kMariadb, server, kMariadbControllersSchema);
  }
  const std::string server = PostgresServer(reason);
  if (server.empty()) return nullptr;
  return std::make_unique<ServerBackendDatabase<PostgresDatabase>>(kPostgres, server, kPostgresControllersSchema);
}

void BackendDatabase::Use() const {
  for (const auto& [name, value] : ServiceEnvironment()) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

}  // namespace velmora::test
