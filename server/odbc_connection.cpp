#include "server/odbc_connection.h"

#include <unistd.h>

#include <vector>

#include "service/utf.h"

namespace velmora::server {
namespace {

// The process's one ODBC environment; nullptr when the driver manager cannot make
// one (out of memory).
SQLHENV Environment() {
  static std::once_flag once;
  static SQLHENV env = SQL_NULL_HENV;
  std::call_once(once, [] {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
      env = SQL_NULL_HENV;
      return;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  });
  return env;
}

}  // namespace

Status OdbcFailure(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view fallback) {
  Status failure{kOdbcFailed, {}};
  for (SQLSMALLINT record = 1;; ++record) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> message(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.resize(static_cast<std::size_t>(length) + 1);
      rc = SQLGetDiagRecW(handleType, handle, record, state, &native, message.data(),
                          static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    std::u16string text(reinterpret_cast<const char16_t*>(message.data()),
                        std::min<std::size_t>(static_cast<std::size_t>(length), message.size() - 1));
    // Drivers end some messages with a line break or a ';' before their own
    // second line; neither belongs to what the operator reads.
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) text.pop_back();
    const std::string sqlState = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(state), 5));
    if (!failure.Description.empty()) failure.Description += '\n';
    failure.Description += Utf16ToUtf8(text) + " (SQLSTATE " + sqlState + ")";
    if (sqlState.starts_with("08")) failure.Code = kOdbcConnectionFailed;
  }
  if (failure.Description.empty()) failure.Description = std::string(fallback);
  return failure;
}

OdbcConnection::OdbcConnection(SQLHDBC dbc, std::string connectionString)
    : FDbc(dbc), FConnectionString(std::move(connectionString)), FOwner(getpid()) {}

OdbcConnection::~OdbcConnection() {
  if (!OwnedByThisProcess()) return;
  SQLDisconnect(FDbc);
  SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
}

bool OdbcConnection::OwnedByThisProcess() const { return FOwner == getpid(); }

bool OdbcConnection::Dead() const {
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc = SQLGetConnectAttrW(FDbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

Status OdbcConnection::Acquire(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection) {
  // A connection costs a login at the server, often over the network: it is kept
  // for the process and replaced only when it is pointed elsewhere, is found dead
  // or is a fork child's inheritance.
  static std::mutex cacheMutex;
  static std::shared_ptr<OdbcConnection> cached;
  std::lock_guard cacheLock(cacheMutex);
  if (cached && cached->FConnectionString == connectionString && cached->OwnedByThisProcess()) {
    std::lock_guard lock(cached->FMutex);
    if (!cached->Dead()) {
      connection = cached;
      return Status::Ok();
    }
  }
  Status status = Open(connectionString, connection);
  if (status) cached = connection;
  return status;
}

Status OdbcConnection::Open(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection) {
  const SQLHENV env = Environment();
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (env == SQL_NULL_HENV || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    return {kOdbcConnectionFailed, "the ODBC driver manager could not make a connection handle"};
  }
  // A login must not hang the operator's window for good when the server is gone.
  SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(15)), 0);
  std::u16string text = Utf8ToUtf16(connectionString);
  const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, ToSql(text.data()), static_cast<SQLSMALLINT>(text.size()),
                                         nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    Status failure = OdbcFailure(SQL_HANDLE_DBC, dbc, "the ODBC connection could not be made");
    // Whatever the driver said, nothing is connected: the operator must read it
    // as a connection failure.
    failure.Code = kOdbcConnectionFailed;
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    return failure;
  }
  connection.reset(new OdbcConnection(dbc, connectionString));

  SQLWCHAR quote[8] = {};
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)) && length > 0) {
    connection->FQuote = static_cast<char16_t>(quote[0]);
  }
  SQLUINTEGER extensions = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_GETDATA_EXTENSIONS, &extensions, sizeof extensions, nullptr))) {
    connection->FBlockFetch = (extensions & SQL_GD_BLOCK) != 0 && (extensions & SQL_GD_BOUND) != 0;
  }
  return Status::Ok();
}

}  // namespace velmora::server
