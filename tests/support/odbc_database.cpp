#include "tests/support/odbc_database.h"

#include <sqlext.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "service/utf.h"

namespace velmora::test {
namespace {

std::string Diagnostic(SQLSMALLINT type, SQLHANDLE handle) {
  std::string out;
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLWCHAR message[2048] = {};
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, i, state, &native, message, 2048, &length)); ++i) {
    out += Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(message),
                                           std::min<std::size_t>(static_cast<std::size_t>(length), 2047))) + " ";
  }
  return out;
}

std::u16string Wide(const std::string& text) { return Utf8ToUtf16(text); }

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

const char* const kPostgresControllersSchema =
    "CREATE TABLE controllers (site integer NOT NULL, controller integer NOT NULL, controllertype integer, "
    "description varchar(255), connectarden integer, PRIMARY KEY (site, controller))";

const char* const kMariadbControllersSchema =
    "CREATE TABLE Controllers (Site integer NOT NULL, Controller integer NOT NULL, ControllerType integer, "
    "Description varchar(255), ConnectArden integer, PRIMARY KEY (Site, Controller)) ENGINE=InnoDB";

OdbcDatabase::OdbcDatabase(const std::string& connectionString) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &FEnv);
  SQLSetEnvAttr(FEnv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, FEnv, &FDbc);
  std::u16string text = Wide(connectionString);
  if (!SQL_SUCCEEDED(SQLDriverConnectW(FDbc, nullptr, reinterpret_cast<SQLWCHAR*>(text.data()),
                                       static_cast<SQLSMALLINT>(text.size()), nullptr, 0, nullptr,
                                       SQL_DRIVER_NOPROMPT))) {
    const std::string message = Diagnostic(SQL_HANDLE_DBC, FDbc);
    SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
    SQLFreeHandle(SQL_HANDLE_ENV, FEnv);
    throw std::runtime_error("cannot connect to " + connectionString + ": " + message);
  }
}

OdbcDatabase::~OdbcDatabase() {
  SQLDisconnect(FDbc);
  SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
  SQLFreeHandle(SQL_HANDLE_ENV, FEnv);
}

void OdbcDatabase::Begin() {
  SQLSetConnectAttrW(FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
}

void OdbcDatabase::Rollback() {
  SQLEndTran(SQL_HANDLE_DBC, FDbc, SQL_ROLLBACK);
  SQLSetConnectAttrW(FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
}

void OdbcDatabase::Exec(const std::string& sql) {
  SQLHSTMT statement = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &statement);
  std::u16string text = Wide(sql);
  const SQLRETURN rc =
      SQLExecDirectW(statement, reinterpret_cast<SQLWCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
  const std::string message = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA ? "" : Diagnostic(SQL_HANDLE_STMT, statement);
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (!message.empty()) throw std::runtime_error(sql.substr(0, 200) + ": " + message);
}

std::string OdbcDatabase::Dump(const std::string& sql) {
  SQLHSTMT statement = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, FDbc, &statement);
  std::u16string text = Wide(sql);
  std::string out;
  std::string failure;
  if (!SQL_SUCCEEDED(SQLExecDirectW(statement, reinterpret_cast<SQLWCHAR*>(text.data()),
                                    static_cast<SQLINTEGER>(text.size())))) {
    failure = Diagnostic(SQL_HANDLE_STMT, statement);
  }
  SQLSMALLINT columns = 0;
  if (failure.empty()) SQLNumResultCols(statement, &columns);
  SQLRETURN rc = SQL_NO_DATA;
  while (failure.empty() && SQL_SUCCEEDED(rc = SQLFetch(statement))) {
    for (SQLUSMALLINT i = 1; i <= columns; ++i) {
      if (i > 1) out += '|';
      std::u16string value;
      bool null = false;
      for (;;) {
        char16_t chunk[1024];
        SQLLEN length = 0;
        const SQLRETURN got = SQLGetData(statement, i, SQL_C_WCHAR, chunk, sizeof chunk, &length);
        if (got == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(got)) {
          failure = Diagnostic(SQL_HANDLE_STMT, statement);
          break;
        }
        if (length == SQL_NULL_DATA) {
          null = true;
          break;
        }
        const bool more = got == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || length > SQLLEN{sizeof chunk - 2});
        value.append(chunk, more ? 1023 : static_cast<std::size_t>(length) / 2);
        if (!more) break;
      }
      out += null ? "NULL" : Utf16ToUtf8(value);
    }
    out += '\n';
  }
  if (failure.empty() && rc != SQL_NO_DATA) failure = Diagnostic(SQL_HANDLE_STMT, statement);
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (!failure.empty()) throw std::runtime_error(sql.substr(0, 200) + ": " + failure);
  return out;
}

namespace {

// A test server's connection string: from variable, else from the folder its
// script wrote (dir/odbc.txt, or dir/unavailable.txt saying why not).
std::string TestServer(const char* variable, [[maybe_unused]] const std::string& dir, const std::string& product,
                       const std::string& fixture, std::string& reason) {
  if (const char* server = std::getenv(variable); server != nullptr && *server != '\0') return server;
  if (!dir.empty()) {
    if (std::string server = ReadLine(dir + "/odbc.txt"); !server.empty()) return server;
    reason = ReadLine(dir + "/unavailable.txt");
    if (reason.empty()) {
      reason = "no " + product + " test server is running (ctest starts one with its " + fixture +
               " test, or set " + variable + " to an ODBC connection string)";
    } else {
      reason = "no " + product + " test server: " + reason;
    }
    return "";
  }
  reason = std::string(variable) + " names no " + product + " server (an ODBC connection string without a database)";
  return "";
}

}  // namespace

std::string PostgresServer(std::string& reason) {
#ifdef VELMORA_TEST_POSTGRES_DIR
  const std::string dir = VELMORA_TEST_POSTGRES_DIR;
#else
  const std::string dir;
#endif
  return TestServer("VELMORA_TEST_POSTGRES", dir, "PostgreSQL", "postgres_start", reason);
}

std::string MariadbServer(std::string& reason) {
#ifdef VELMORA_TEST_MARIADB_DIR
  const std::string dir = VELMORA_TEST_MARIADB_DIR;
#else
  const std::string dir;
#endif
  return TestServer("VELMORA_TEST_MARIADB", dir, "MariaDB", "mariadb_start", reason);
}

ServerDatabase::ServerDatabase(const std::string& server, bool mariadb) : FServer(server), FMariadb(mariadb) {
  static std::atomic<int> counter{0};
  FName = "velmora_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  if (FMariadb) {
    OdbcDatabase(FServer).Exec("CREATE DATABASE " + FName + " CHARACTER SET utf8mb4");
  } else {
    OdbcDatabase(FServer + ";Database=postgres").Exec("CREATE DATABASE " + FName);
  }
  FConnectionString = FServer + ";Database=" + FName;
  FConnection = std::make_unique<OdbcDatabase>(FConnectionString);
}

ServerDatabase::~ServerDatabase() {
  FConnection.reset();
  try {
    if (FMariadb) {
      // The service's own cached session would hold the database's metadata locks.
      OdbcDatabase admin(FServer);
      const std::string sessions =
          admin.Dump("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + FName + "'");
      for (std::size_t start = 0; start < sessions.size();) {
        const std::size_t end = sessions.find('\n', start);
        try {
          admin.Exec("KILL " + sessions.substr(start, end - start));
        } catch (const std::exception&) {
          // Gone by itself meanwhile.
        }
        start = end + 1;
      }
      admin.Exec("DROP DATABASE IF EXISTS " + FName);
    } else {
      // FORCE ends the service's own cached session on it too.
      OdbcDatabase(FServer + ";Database=postgres").Exec("DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
    }
  } catch (const std::exception&) {
    // A server gone by now takes its databases with it.
  }
}

void CopyControllers(const std::string& sqliteFile, OdbcDatabase& db) {
  sqlite3* source = nullptr;
  if (sqlite3_open_v2(sqliteFile.c_str(), &source, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(source);
    throw std::runtime_error("cannot open " + sqliteFile);
  }
  // SQLite writes each row as an SQL value list, quotes and nulls done right.
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(source,
                     "SELECT '(' || quote(Site) || ',' || quote(Controller) || ',' || quote(ControllerType) || ',' || "
                     "quote(Description) || ',' || quote(ConnectArden) || ')' FROM Controllers ORDER BY rowid",
                     -1, &statement, nullptr);
  std::string batch;
  int inBatch = 0;
  const auto flush = [&] {
    if (inBatch > 0) db.Exec("INSERT INTO Controllers VALUES " + batch);
    batch.clear();
    inBatch = 0;
  };
  while (sqlite3_step(statement) == SQLITE_ROW) {
    if (inBatch > 0) batch += ',';
    batch += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    if (++inBatch == 1000) flush();
  }
  sqlite3_finalize(statement);
  sqlite3_close(source);
  flush();
}

}  // namespace velmora::test
