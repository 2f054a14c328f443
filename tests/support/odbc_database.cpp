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

[[maybe_unused]] std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

const char* const kPostgresControllersSchema =
    "CREATE TABLE controllers (site integer NOT NULL, controller integer NOT NULL, controllertype integer, "
    "description varchar(255), connectarden integer, PRIMARY KEY (site, controller))";

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

std::string PostgresServer(std::string& reason) {
  if (const char* server = std::getenv("VELMORA_TEST_POSTGRES"); server != nullptr && *server != '\0') return server;
#ifdef VELMORA_TEST_POSTGRES_DIR
  const std::string dir = VELMORA_TEST_POSTGRES_DIR;
  if (std::string server = ReadLine(dir + "/odbc.txt"); !server.empty()) return server;
  reason = ReadLine(dir + "/unavailable.txt");
  if (reason.empty()) {
    reason = "no PostgreSQL test server is running (ctest starts one with its postgres_start test, "
             "or set VELMORA_TEST_POSTGRES to an ODBC connection string)";
  } else {
    reason = "no PostgreSQL test server: " + reason;
  }
#else
  reason = "VELMORA_TEST_POSTGRES names no PostgreSQL server (an ODBC connection string without a database)";
#endif
  return "";
}

PostgresDatabase::PostgresDatabase(const std::string& server) : FServer(server) {
  static std::atomic<int> counter{0};
  FName = "velmora_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  OdbcDatabase(FServer + ";Database=postgres").Exec("CREATE DATABASE " + FName);
  FConnectionString = FServer + ";Database=" + FName;
  FConnection = std::make_unique<OdbcDatabase>(FConnectionString);
}

PostgresDatabase::~PostgresDatabase() {
  FConnection.reset();
  try {
    // FORCE ends the service's own cached session on it too.
    OdbcDatabase(FServer + ";Database=postgres").Exec("DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
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
    if (inBatch > 0) db.Exec("INSERT INTO controllers VALUES " + batch);
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
