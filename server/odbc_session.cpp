#include "server/odbc_session.h"

#include <vector>

#include "service/utf.h"

namespace velmora::server {
namespace {

std::string Duration(std::chrono::milliseconds bound) {
  const auto ms = bound.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// text as a PostgreSQL literal that reads the same whatever
// standard_conforming_strings says.
std::string PostgresLiteral(const std::string& text) {
  std::string out = "E'";
  for (const char c : text) {
    if (c == '\'' || c == '\\') out += c;
    out += c;
  }
  return out + "'";
}

// The first column of the first row of query, as text; "" when there is none.
std::string FirstValue(OdbcConnection& connection, const OdbcBounds& bounds, const std::u16string& query,
                       Status& status) {
  OdbcStatement statement(connection.shared_from_this());
  if (statement.Handle() == SQL_NULL_HSTMT) {
    status = OdbcFailure(SQL_HANDLE_DBC, connection.Handle(), "the driver could not make a statement handle");
    return {};
  }
  const SQLHSTMT handle = statement.Handle();
  auto text = std::make_shared<std::u16string>(query);
  auto value = std::make_shared<std::vector<char16_t>>(1024);
  auto length = std::make_shared<SQLLEN>(0);
  bool timedOut = false;
  const SQLRETURN rc = connection.Bounded(
      bounds.Statement, handle,
      [handle, text, value, length] {
        SQLRETURN rc = SQLExecDirectW(handle, ToSql(text->data()), static_cast<SQLINTEGER>(text->size()));
        if (SQL_SUCCEEDED(rc)) rc = SQLFetch(handle);
        if (SQL_SUCCEEDED(rc)) {
          rc = SQLGetData(handle, 1, SQL_C_WCHAR, value->data(),
                          static_cast<SQLLEN>(value->size() * sizeof(char16_t)), length.get());
        }
        return rc;
      },
      timedOut);
  if (timedOut) {
    status = {kOdbcConnectionFailed, "the database server did not answer within " + Duration(bounds.Statement)};
    return {};
  }
  if (!SQL_SUCCEEDED(rc)) {
    status = OdbcFailure(SQL_HANDLE_STMT, handle, "the driver could not read the session's settings");
    return {};
  }
  if (*length < 0) return {};
  const std::size_t units = std::min<std::size_t>(static_cast<std::size_t>(*length) / 2, value->size() - 1);
  return Utf16ToUtf8(std::u16string_view(value->data(), units));
}

}  // namespace

OdbcCall::OdbcCall(std::shared_ptr<OdbcConnection> connection, const OdbcBounds& bounds, TextUse use)
    : FConnection(std::move(connection)), FBounds(bounds), FUse(use) {}

OdbcCall::~OdbcCall() {
  if (FInTransaction) End(SQL_ROLLBACK);
}

Status OdbcCall::TimedOut(const char* what) const {
  Status status{kOdbcFailed, std::string("the database server did not ") + what + " within the statement_timeout of " +
                                 Duration(FBounds.Statement) + "; it was cancelled"};
  if (FConnection->GivenUp()) {
    status.Code = kOdbcConnectionFailed;
    status.Description += ", and the connection given up (the server does not answer)";
  }
  return status;
}

Status OdbcCall::Failed(Status status) {
  if (FConnection->Dead()) {
    status.ConnectionLost = true;
    status.Code = kOdbcConnectionFailed;
  }
  return status;
}

Status OdbcCall::Own(const std::u16string& sql) {
  OdbcStatement statement(FConnection);
  if (statement.Handle() == SQL_NULL_HSTMT) {
    return Failed(OdbcFailure(SQL_HANDLE_DBC, FConnection->Handle(), "the driver could not make a statement handle"));
  }
  const SQLHSTMT handle = statement.Handle();
  auto text = std::make_shared<std::u16string>(sql);
  bool timedOut = false;
  const SQLRETURN rc = FConnection->Bounded(
      FBounds.Statement, handle,
      [handle, text] { return SQLExecDirectW(handle, ToSql(text->data()), static_cast<SQLINTEGER>(text->size())); },
      timedOut);
  if (timedOut) return TimedOut("answer");
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    return Failed(OdbcFailure(SQL_HANDLE_STMT, handle, "the server refused the service's session settings"));
  }
  return Status::Ok();
}

Status OdbcCall::SetAutocommit(bool on) {
  const SQLHDBC dbc = FConnection->Handle();
  bool timedOut = false;
  const SQLRETURN rc = FConnection->Bounded(
      FBounds.Statement, SQL_NULL_HSTMT,
      [dbc, on] {
        return SQLSetConnectAttrW(
            dbc, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
            SQL_IS_UINTEGER);
      },
      timedOut);
  if (timedOut) return TimedOut("answer");
  if (!SQL_SUCCEEDED(rc)) return Failed(OdbcFailure(SQL_HANDLE_DBC, dbc, "the driver could not start a transaction"));
  return Status::Ok();
}

Status OdbcCall::Begin() {
  const bool query = FUse == TextUse::Query;
  const auto ms = std::to_string(FBounds.Statement.count());
  const auto lockMs = std::to_string(FBounds.Lock.count());
  switch (FConnection->Dialect()) {
    case SqlDialect::Postgres: {
      if (FConnection->SearchPath().empty()) {
        Status status = Status::Ok();
        std::string path = FirstValue(*FConnection, FBounds, u"SELECT current_setting('search_path')", status);
        if (!status) return Failed(std::move(status));
        // Temporary tables last: a TEMP table of a text's making never stands in
        // for the site's own.
        if (path.find("pg_temp") == std::string::npos) path += path.empty() ? "pg_temp" : ", pg_temp";
        FConnection->SetSearchPath(path);
      }
      const std::string guard =
          "SELECT set_config('default_transaction_read_only', '" + std::string(query ? "on" : "off") +
          "', false), set_config('statement_timeout', '" + ms + "', false), set_config('lock_timeout', '" + lockMs +
          "', false), set_config('search_path', " + PostgresLiteral(FConnection->SearchPath()) + ", false)";
      if (Status status = Own(Utf8ToUtf16(guard)); !status) return status;
      break;
    }
    case SqlDialect::Mysql: {
      const auto seconds = [](std::chrono::milliseconds bound) {
        return std::to_string(std::max<long long>(1, (bound.count() + 999) / 1000));
      };
      const std::string guard = "SET SESSION max_statement_time = " + std::to_string(FBounds.Statement.count() / 1000) +
                                "." + std::to_string(1000 + FBounds.Statement.count() % 1000).substr(1) +
                                ", innodb_lock_wait_timeout = " + seconds(FBounds.Lock) +
                                ", lock_wait_timeout = " + seconds(FBounds.Lock);
      if (Status status = Own(Utf8ToUtf16(guard)); !status) return status;
      break;
    }
    case SqlDialect::Generic:
      // Only a hint for most drivers; the statement's own bound is set on it.
      SQLSetConnectAttrW(FConnection->Handle(), SQL_ATTR_ACCESS_MODE,
                         reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query ? SQL_MODE_READ_ONLY
                                                                                 : SQL_MODE_READ_WRITE)),
                         SQL_IS_UINTEGER);
      // Whether a cursor outlives its transaction is the driver's to say; a query
      // there stays in autocommit.
      if (query) return Status::Ok();
      break;
  }
  if (Status status = SetAutocommit(false); !status) return status;
  FInTransaction = true;
  if (query && FConnection->Dialect() == SqlDialect::Mysql) {
    if (Status status = Own(u"START TRANSACTION READ ONLY"); !status) return status;
  }
  return Status::Ok();
}

Status OdbcCall::Run(SQLHSTMT statement, const std::u16string& text) {
  if (FConnection->Dialect() == SqlDialect::Generic) {
    const auto seconds = static_cast<SQLULEN>(std::max<long long>(1, (FBounds.Statement.count() + 999) / 1000));
    SQLSetStmtAttrW(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  }
  auto owned = std::make_shared<std::u16string>(text);
  bool timedOut = false;
  // The server's bound ends the statement with its own message; the service's
  // comes a moment later, for a server that does not answer at all.
  const SQLRETURN rc = FConnection->Bounded(
      FBounds.Statement + std::chrono::milliseconds(1000), statement,
      [statement, owned] {
        SQLRETURN rc = SQLPrepareW(statement, ToSql(owned->data()), static_cast<SQLINTEGER>(owned->size()));
        if (SQL_SUCCEEDED(rc)) rc = SQLExecute(statement);
        return rc;
      },
      timedOut);
  if (timedOut) return TimedOut("finish the statement");
  // SQL_NO_DATA: a searched UPDATE or DELETE that matched no row.
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    return Failed(OdbcFailure(SQL_HANDLE_STMT, statement,
                              FUse == TextUse::Query ? "the driver could not run the query"
                                                     : "the driver could not run the statement"));
  }
  return Status::Ok();
}

void OdbcCall::End(SQLSMALLINT completion) {
  FInTransaction = false;
  if (FConnection->GivenUp()) return;
  const SQLHDBC dbc = FConnection->Handle();
  bool timedOut = false;
  (void)FConnection->Bounded(
      FBounds.Statement, SQL_NULL_HSTMT, [dbc, completion] { return SQLEndTran(SQL_HANDLE_DBC, dbc, completion); },
      timedOut);
  if (!timedOut) (void)SetAutocommit(true);
}

void OdbcCall::Finish() {
  if (FInTransaction) End(SQL_ROLLBACK);
}

Status OdbcCall::Commit() {
  const SQLHDBC dbc = FConnection->Handle();
  bool timedOut = false;
  const SQLRETURN rc = FConnection->Bounded(
      FBounds.Statement, SQL_NULL_HSTMT, [dbc] { return SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT); }, timedOut);
  if (timedOut) {
    FInTransaction = false;
    Status status = TimedOut("confirm the commit");
    status.MayBeStored = true;
    status.Description += "; the change may or may not be stored";
    return status;
  }
  if (!SQL_SUCCEEDED(rc)) {
    Status status = OdbcFailure(SQL_HANDLE_DBC, dbc, "the server did not commit the change");
    if (FConnection->Dead()) {
      status.Code = kOdbcConnectionFailed;
      status.MayBeStored = true;
      status.Description += "; the connection was lost during the commit, so the change may or may not be stored";
      FInTransaction = false;
      return status;
    }
    End(SQL_ROLLBACK);
    return status;
  }
  FInTransaction = false;
  (void)SetAutocommit(true);
  return Status::Ok();
}

}  // namespace velmora::server
