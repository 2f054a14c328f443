#include "server/odbc_connection.h"

#include <dlfcn.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>
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


namespace {

// A thread left waiting in the driver runs this module's code when the driver
// returns; the module must then still be loaded, whatever its client does.
void KeepModuleLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&KeepModuleLoaded), &info) != 0 && info.dli_fname != nullptr) {
      dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    }
  });
}

// What a bounded call and the thread that runs it share.
struct CallState {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Finished = false;
  bool Abandoned = false;  // the caller stopped waiting: the thread cleans up
  SQLRETURN Rc = SQL_ERROR;
};

// The time the service allows a call for the grace after a cancel, so a driver
// that honours SQLCancel returns its own diagnostic.
constexpr std::chrono::milliseconds kCancelGrace{3000};

// One key=value of a connection string; a value in braces may hold ';'.
struct Attribute {
  std::string Key;
  std::string Text;  // key=value as written
};

std::vector<Attribute> Attributes(const std::string& connectionString) {
  std::vector<Attribute> attributes;
  std::size_t i = 0;
  while (i < connectionString.size()) {
    std::size_t end = i;
    bool braced = false;
    while (end < connectionString.size() && (braced || connectionString[end] != ';')) {
      if (connectionString[end] == '{') braced = true;
      if (connectionString[end] == '}') braced = false;
      ++end;
    }
    const std::string text = connectionString.substr(i, end - i);
    std::string key = text.substr(0, text.find('='));
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!key.empty() && key.front() == ' ') key.erase(0, 1);
    for (char& c : key) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (!text.empty()) attributes.push_back({key, text});
    i = end + 1;
  }
  return attributes;
}

std::string ValueOf(const Attribute& attribute) {
  const auto equals = attribute.Text.find('=');
  return equals == std::string::npos ? std::string() : attribute.Text.substr(equals + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// The dialect the connection string's Driver= names, before any login; Generic
// when it names none that the service knows (a DSN, say).
SqlDialect DialectNamed(const std::string& connectionString) {
  for (const Attribute& attribute : Attributes(connectionString)) {
    if (attribute.Key != "DRIVER") continue;
    const std::string driver = Lower(ValueOf(attribute));
    if (driver.find("postgres") != std::string::npos || driver.find("psqlodbc") != std::string::npos) {
      return SqlDialect::Postgres;
    }
    if (driver.find("mariadb") != std::string::npos || driver.find("mysql") != std::string::npos ||
        driver.find("maodbc") != std::string::npos || driver.find("myodbc") != std::string::npos) {
      return SqlDialect::Mysql;
    }
  }
  return SqlDialect::Generic;
}

// The MySQL-family drivers' OPTION bits the service sets and clears.
constexpr unsigned long long kFoundRows = 2;
constexpr unsigned long long kMultiStatements = 1ull << 26;

// Runs a login on a thread of its own: dbc connected, or a failure; past the
// bound the thread is left to finish (and to free dbc) on its own.
Status BoundedLogin(SQLHDBC dbc, const std::string& connectionString) {
  auto state = std::make_shared<CallState>();
  auto text = std::make_shared<std::u16string>(Utf8ToUtf16(connectionString));
  std::thread worker([state, text, dbc] {
    const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, ToSql(text->data()), static_cast<SQLSMALLINT>(text->size()),
                                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    std::unique_lock lock(state->Mutex);
    state->Rc = rc;
    state->Finished = true;
    if (state->Abandoned) {
      lock.unlock();
      if (SQL_SUCCEEDED(rc)) SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      return;
    }
    state->Done.notify_all();
  });
  std::unique_lock lock(state->Mutex);
  if (!state->Done.wait_for(lock, OdbcBounds::kLogin, [&] { return state->Finished; })) {
    state->Abandoned = true;
    lock.unlock();
    KeepModuleLoaded();
    worker.detach();
    return {kOdbcConnectionFailed, "the database server did not complete the login within " +
                                       std::to_string(OdbcBounds::kLogin.count() / 1000) +
                                       " s; the connection was given up"};
  }
  const SQLRETURN rc = state->Rc;
  lock.unlock();
  worker.join();
  if (!SQL_SUCCEEDED(rc)) {
    Status failure = OdbcFailure(SQL_HANDLE_DBC, dbc, "the ODBC connection could not be made");
    // Whatever the driver said, nothing is connected: the operator must read it
    // as a connection failure.
    failure.Code = kOdbcConnectionFailed;
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    return failure;
  }
  return Status::Ok();
}

}  // namespace

std::string ConnectionStringFor(const std::string& connectionString, SqlDialect dialect) {
  if (dialect == SqlDialect::Generic) return connectionString;
  std::string out;
  unsigned long long option = 0;
  for (const Attribute& attribute : Attributes(connectionString)) {
    if (dialect == SqlDialect::Mysql && (attribute.Key == "OPTION" || attribute.Key == "OPTIONS")) {
      const std::string value = ValueOf(attribute);
      try {
        option = std::stoull(value);
      } catch (const std::exception&) {
        option = 0;  // the driver would read it as 0 too
      }
      continue;
    }
    // psqlODBC's long name and its abbreviation.
    if (dialect == SqlDialect::Postgres && (attribute.Key == "USESERVERSIDEPREPARE" || attribute.Key == "C8")) continue;
    if (!out.empty()) out += ';';
    out += attribute.Text;
  }
  if (!out.empty()) out += ';';
  if (dialect == SqlDialect::Mysql) {
    // Matched rows, so that a write of the value a row already holds counts; and
    // one statement per text, judged by the server.
    out += "OPTION=" + std::to_string((option | kFoundRows) & ~kMultiStatements);
  } else {
    // Each statement is prepared by the server, which refuses a text of several.
    out += "UseServerSidePrepare=1";
  }
  return out;
}

OdbcConnection::OdbcConnection(SQLHDBC dbc, std::string connectionString)
    : FDbc(dbc), FConnectionString(std::move(connectionString)), FOwner(getpid()) {}

OdbcConnection::~OdbcConnection() {
  if (!OwnedByThisProcess()) return;
  SQLDisconnect(FDbc);
  SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
}

bool OdbcConnection::OwnedByThisProcess() const { return FOwner == getpid(); }

SQLRETURN OdbcConnection::Bounded(std::chrono::milliseconds bound, SQLHSTMT cancel, std::function<SQLRETURN()> work,
                                  bool& timedOut) {
  timedOut = false;
  if (FGivenUp) {
    timedOut = true;
    return SQL_ERROR;
  }
  auto state = std::make_shared<CallState>();
  std::thread worker([state, self = shared_from_this(), work = std::move(work)] {
    const SQLRETURN rc = work();
    std::lock_guard lock(state->Mutex);
    state->Rc = rc;
    state->Finished = true;
    state->Done.notify_all();
  });
  std::unique_lock lock(state->Mutex);
  if (!state->Done.wait_for(lock, bound, [&] { return state->Finished; })) {
    timedOut = true;
    // Some drivers cancel through a connection of their own (MariaDB's sends KILL
    // QUERY), which meets the same silent server: the cancel waits on a thread of
    // its own too.
    std::thread canceller;
    auto cancelled = std::make_shared<CallState>();
    if (cancel != SQL_NULL_HSTMT) {
      canceller = std::thread([cancelled, self = shared_from_this(), cancel] {
        SQLCancel(cancel);
        std::lock_guard cancelLock(cancelled->Mutex);
        cancelled->Finished = true;
        cancelled->Done.notify_all();
      });
      state->Done.wait_for(lock, kCancelGrace, [&] { return state->Finished; });
    }
    bool cancelDone = true;
    if (canceller.joinable()) {
      std::unique_lock cancelLock(cancelled->Mutex);
      cancelDone = cancelled->Done.wait_for(cancelLock, state->Finished ? kCancelGrace : std::chrono::milliseconds(0),
                                            [&] { return cancelled->Finished; });
    }
    if (!state->Finished || !cancelDone) {
      // The driver does not return: its threads keep the connection (and this
      // module) alive until it does, and nobody uses the connection again, nor
      // frees a handle they may still hold.
      FGivenUp = true;
      lock.unlock();
      KeepModuleLoaded();
      worker.detach();
      if (canceller.joinable()) canceller.detach();
      return SQL_ERROR;
    }
    lock.unlock();
    worker.join();
    canceller.join();
    return SQL_ERROR;
  }
  const SQLRETURN rc = state->Rc;
  lock.unlock();
  worker.join();
  return rc;
}

bool OdbcConnection::Dead() {
  if (FGivenUp) return true;
  // Some drivers ask the server (a ping) to answer this.
  auto dead = std::make_shared<SQLUINTEGER>(SQL_CD_FALSE);
  bool timedOut = false;
  const SQLHDBC dbc = FDbc;
  const SQLRETURN rc = Bounded(
      OdbcBounds{}.Lock, SQL_NULL_HSTMT,
      [dbc, dead] { return SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, dead.get(), 0, nullptr); }, timedOut);
  if (timedOut) {
    FGivenUp = true;
    return true;
  }
  return SQL_SUCCEEDED(rc) && *dead == SQL_CD_TRUE;
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
    const bool givenUp = cached->FGivenUp;
    if (!cached->Dead()) {
      connection = cached;
      return Status::Ok();
    }
    // A server that does not answer the check would not answer a login either;
    // the next call tries one.
    if (!givenUp && cached->FGivenUp) {
      return {kOdbcConnectionFailed, "the database server did not answer within " +
                                         std::to_string(OdbcBounds{}.Lock.count() / 1000) +
                                         " s; the connection was given up"};
    }
  }
  Status status = Open(connectionString, connection);
  if (status) cached = connection;
  return status;
}

Status OdbcConnection::Open(const std::string& connectionString, std::shared_ptr<OdbcConnection>& connection) {
  const SQLHENV env = Environment();
  // The options the service needs are put into the connection string for the
  // driver it names; a DSN's driver is known after its login, and the login is
  // made again when that driver needs other options.
  SqlDialect dialect = DialectNamed(connectionString);
  for (int attempt = 1;; ++attempt) {
    const std::string amended = ConnectionStringFor(connectionString, dialect);
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (env == SQL_NULL_HENV || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
      return {kOdbcConnectionFailed, "the ODBC driver manager could not make a connection handle"};
    }
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(OdbcBounds::kLogin.count() / 1000)), 0);
    if (Status status = BoundedLogin(dbc, amended); !status) return status;
    connection.reset(new OdbcConnection(dbc, connectionString));

    SQLWCHAR name[64] = {};
    SQLSMALLINT length = 0;
    SqlDialect found = SqlDialect::Generic;
    if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DBMS_NAME, name, sizeof name, &length))) {
      const std::string dbms =
          Lower(Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name),
                                                std::min<std::size_t>(static_cast<std::size_t>(length) / 2, 63))));
      if (dbms.find("postgres") != std::string::npos) found = SqlDialect::Postgres;
      if (dbms.find("mysql") != std::string::npos || dbms.find("mariadb") != std::string::npos) {
        found = SqlDialect::Mysql;
      }
    }
    if (found != dialect && attempt == 1) {
      dialect = found;
      if (ConnectionStringFor(connectionString, found) != amended) {
        connection.reset();
        continue;
      }
    }
    connection->FDialect = dialect;
    break;
  }
  const SQLHDBC dbc = connection->FDbc;
  SQLWCHAR quote[8] = {};
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)) && length > 0) {
    connection->FQuote = static_cast<char16_t>(quote[0]);
  }
  SQLUINTEGER extensions = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_GETDATA_EXTENSIONS, &extensions, sizeof extensions, nullptr))) {
    connection->FBlockFetch = (extensions & SQL_GD_BLOCK) != 0 && (extensions & SQL_GD_BOUND) != 0;
  }
  // MariaDB Connector/ODBC says it reads any column of a block by SQLGetData, but
  // gives nothing for the rest of a text longer than its binding: its rows are
  // read one at a time, every value whole.
  if (connection->FDialect == SqlDialect::Mysql) connection->FBlockFetch = false;
  return Status::Ok();
}

OdbcStatement::OdbcStatement(std::shared_ptr<OdbcConnection> connection) : FConnection(std::move(connection)) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, FConnection->Handle(), &FHandle))) FHandle = SQL_NULL_HSTMT;
}

void OdbcStatement::Reset() {
  if (FHandle != SQL_NULL_HSTMT && !FConnection->GivenUp() && FConnection->OwnedByThisProcess()) {
    SQLFreeHandle(SQL_HANDLE_STMT, FHandle);
  }
  FHandle = SQL_NULL_HSTMT;
}

}  // namespace velmora::server
