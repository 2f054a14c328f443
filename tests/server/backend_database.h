#pragma once
// The database a backend-parameterised test runs on: an SQLite file, or a database
// of its own on the test PostgreSQL or MariaDB server reached through ODBC.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server_test_support.h"
#include "tests/support/odbc_database.h"

namespace velmora::test {

// The backends every shared case runs on, as the tests' parameter names them.
inline constexpr const char* kSqlite = "sqlite";
inline constexpr const char* kPostgres = "postgresql";
inline constexpr const char* kMariadb = "mariadb";

class BackendDatabase {
 public:
  // A new empty database for backend, in dir for SQLite. Throws when it cannot be
  // made; nullptr, with reason set, when the backend's server is not available.
  static std::unique_ptr<BackendDatabase> Make(const std::string& backend, const TempDir& dir, std::string& reason);

  virtual ~BackendDatabase() = default;

  const std::string& Backend() const { return FBackend; }
  bool IsSqlite() const { return FBackend == kSqlite; }
  bool IsPostgres() const { return FBackend == kPostgres; }
  bool IsMariadb() const { return FBackend == kMariadb; }
  // PostgreSQL folds unquoted names to lower case, in the result's field names too.
  bool FoldsNames() const { return IsPostgres(); }

  // Creates the Controllers table with the rows given as SQL value lists.
  virtual void CreateControllers(const std::vector<std::string>& rows) = 0;
  virtual void Exec(const std::string& sql) = 0;
  // The rows of a query, one line each, values joined by '|', NULL for null.
  virtual std::string Dump(const std::string& sql) = 0;
  // The test's own connection to a server's database; nullptr for an SQLite file.
  virtual OdbcDatabase* Odbc() { return nullptr; }
  // The name of the database on its server; "" for an SQLite file.
  virtual std::string DatabaseName() const { return ""; }
  // The column type of a text of any length (MariaDB's text holds 64 KiB).
  std::string LongTextType() const { return IsMariadb() ? "longtext" : "text"; }
  // The variables that point the service at this database (the other one unset).
  virtual std::map<std::string, std::string> ServiceEnvironment() const = 0;

  // Points this process's service at this database.
  void Use() const;

 protected:
  explicit BackendDatabase(std::string backend) : FBackend(std::move(backend)) {}

 private:
  std::string FBackend;
};

// In SetUp: the database for the test's backend, or a skip (outside CI) or a
// failure (in CI, where every backend must run) when its server is missing.
#define VELMORA_MAKE_BACKEND_DATABASE(target, backend, dir)                                  \
  do {                                                                                        \
    std::string reason_;                                                                      \
    target = ::velmora::test::BackendDatabase::Make(backend, dir, reason_);                   \
    if (!target) {                                                                            \
      if (::velmora::test::RunningInCi()) FAIL() << reason_;                                  \
      GTEST_SKIP() << reason_;                                                                \
    }                                                                                         \
  } while (false)

// True when CI=true: there, a missing test server is a failure, not a skip.
bool RunningInCi();

}  // namespace velmora::test
