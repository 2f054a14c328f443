#pragma once
// What the ODBC backend's tests and benchmarks share: a connection of their own
// through ODBC, a database of its own on the test PostgreSQL or MariaDB server,
// and the demo rows copied into it.

#include <sql.h>

#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

// A connection of the test's own through ODBC, in autocommit mode; throws on any
// failure, with the driver's message.
class OdbcDatabase {
 public:
  explicit OdbcDatabase(const std::string& connectionString);
  OdbcDatabase(const OdbcDatabase&) = delete;
  OdbcDatabase& operator=(const OdbcDatabase&) = delete;
  ~OdbcDatabase();

  void Exec(const std::string& sql);
  SQLHDBC Handle() const { return FDbc; }
  // Autocommit off: what Exec changes holds its locks until Rollback.
  void Begin();
  void Rollback();
  // The rows of a query, one line each, values joined by '|', NULL for null.
  std::string Dump(const std::string& sql);

 private:
  SQLHENV FEnv = nullptr;
  SQLHDBC FDbc = nullptr;
};

// The Controllers table as a PostgreSQL site keeps it: unquoted lower-case names,
// so that the utility's unquoted Controllers, Site, ... find it.
extern const char* const kPostgresControllersSchema;

// The test PostgreSQL server's connection string, without a database: from
// $VELMORA_TEST_POSTGRES, else written by scripts/postgres into the folder the
// build names. "" when there is none, with reason set to why.
std::string PostgresServer(std::string& reason);

// The Controllers table as a MariaDB site keeps it: table names are case-sensitive
// there, so it is named as the utility writes it.
extern const char* const kMariadbControllersSchema;

// The test MariaDB server's connection string, without a database, as
// PostgresServer (from $VELMORA_TEST_MARIADB, else scripts/mariadb's folder).
std::string MariadbServer(std::string& reason);

// A database of its own on a PostgreSQL or MariaDB server, dropped (with every
// session on it) when it goes.
class ServerDatabase {
 public:
  ServerDatabase(const ServerDatabase&) = delete;
  ServerDatabase& operator=(const ServerDatabase&) = delete;
  virtual ~ServerDatabase();

  // The connection string of this database.
  const std::string& ConnectionString() const { return FConnectionString; }
  OdbcDatabase& Connection() { return *FConnection; }
  const std::string& Name() const { return FName; }

 protected:
  ServerDatabase(const std::string& server, bool mariadb);

 private:
  std::string FServer;
  bool FMariadb;
  std::string FName;
  std::string FConnectionString;
  std::unique_ptr<OdbcDatabase> FConnection;
};

class PostgresDatabase final : public ServerDatabase {
 public:
  explicit PostgresDatabase(const std::string& server) : ServerDatabase(server, false) {}
};

class MariadbDatabase final : public ServerDatabase {
 public:
  explicit MariadbDatabase(const std::string& server) : ServerDatabase(server, true) {}
};

// Copies the Controllers rows of an SQLite file (velmora-demo-db's output) into
// db's Controllers table, which must exist.
void CopyControllers(const std::string& sqliteFile, OdbcDatabase& db);

}  // namespace velmora::test
