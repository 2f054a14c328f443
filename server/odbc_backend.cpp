#include "server/odbc_backend.h"

#include "server/odbc_recordset.h"
#include "server/sql_text.h"

namespace velmora::server {
namespace {

// How often a call meets a dead connection before its failure is reported: once
// is a server restarted or a session ended since the last call, and is mended by
// connecting anew; twice is a server that is gone.
constexpr int kAttempts = 2;

bool IsTransactionKeyword(const std::string& keyword) {
  return keyword == "BEGIN" || keyword == "COMMIT" || keyword == "END" || keyword == "ROLLBACK";
}

// A statement handle, freed when it goes.
class Statement {
 public:
  explicit Statement(SQLHDBC dbc) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &FHandle))) FHandle = SQL_NULL_HSTMT;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() {
    if (FHandle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, FHandle);
  }
  SQLHSTMT Handle() const { return FHandle; }

 private:
  SQLHSTMT FHandle = SQL_NULL_HSTMT;
};

}  // namespace

ComPtr<IRecordset> OdbcBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, Failure& failure) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    failure = {kBadStatementText, kNulInText};
    return nullptr;
  }
  const std::vector<std::u16string_view> statements = SplitStatements(text);
  if (statements.empty()) {
    failure = {kBadStatementText, "the query text holds no statement"};
    return nullptr;
  }
  // Whatever follows the query would be dropped unseen; refuse it instead.
  if (statements.size() > 1) {
    failure = {kBadStatementText, "the query text holds more than one statement"};
    return nullptr;
  }
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<OdbcConnection> connection = OdbcConnection::Acquire(FConnectionString, failure);
    if (!connection) return nullptr;
    std::u16string statement = QuoteBracketedNames(statements.front(), connection->IdentifierQuote());
    bool lost = false;
    ComPtr<IRecordset> recordset = OdbcRecordset::Open(std::move(connection), host, std::move(statement), failure, lost);
    // A query changes nothing, so one that met a dead connection runs again on a
    // new one.
    if (recordset || !lost || attempt == kAttempts) {
      if (lost) failure.Code = kOdbcConnectionFailed;
      return recordset;
    }
  }
}

bool OdbcBackend::ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit, Failure& failure) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    failure = {kBadStatementText, kNulInText};
    return false;
  }
  const std::vector<std::u16string_view> statements = SplitStatements(text);
  if (statements.empty()) {
    failure = {kBadStatementText, "the command text holds no statement"};
    return false;
  }
  for (const std::u16string_view statement : statements) {
    if (IsTransactionKeyword(FirstKeyword(statement))) {
      failure = {kBadStatementText, kOwnTransactionText};
      return false;
    }
  }
  for (int attempt = 1;; ++attempt) {
    const std::shared_ptr<OdbcConnection> connection = OdbcConnection::Acquire(FConnectionString, failure);
    if (!connection) return false;
    bool lost = false;
    std::lock_guard lock(connection->Mutex());
    if (RunTransaction(*connection, statements, beforeCommit, failure, lost)) return true;
    // A transaction cut off by a lost connection was rolled back by the server, so
    // it is run again whole on a new one; one lost during its commit is not, since
    // it may have been stored.
    if (!lost || attempt == kAttempts) return false;
  }
}

bool OdbcBackend::RunTransaction(OdbcConnection& connection, const std::vector<std::u16string_view>& statements,
                                 const BeforeCommit& beforeCommit, Failure& failure, bool& lost) {
  SQLHDBC dbc = connection.Handle();
  const auto setAutocommit = [dbc](bool on) {
    return SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                              SQL_IS_UINTEGER);
  };
  // Whatever happens, the connection goes back to autocommit for the queries.
  const auto end = [&](bool commit) {
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
    if (commit && !SQL_SUCCEEDED(rc)) {
      failure = OdbcFailure(SQL_HANDLE_DBC, dbc, "the server did not commit the change");
      if (connection.Dead()) {
        failure.Code = kOdbcConnectionFailed;
        failure.Description += "; the connection was lost during the commit, so the change may or may not be stored";
      }
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    }
    setAutocommit(true);
    return commit && SQL_SUCCEEDED(rc);
  };
  const auto failed = [&](Failure driverFailure) {
    failure = std::move(driverFailure);
    lost = connection.Dead();
    if (lost) failure.Code = kOdbcConnectionFailed;
    end(false);
    return false;
  };

  if (!SQL_SUCCEEDED(setAutocommit(false))) {
    return failed(OdbcFailure(SQL_HANDLE_DBC, dbc, "the driver could not start a transaction"));
  }
  Statement statement(dbc);
  if (statement.Handle() == SQL_NULL_HSTMT) {
    return failed(OdbcFailure(SQL_HANDLE_DBC, dbc, "the driver could not make a statement handle"));
  }
  for (const std::u16string_view text : statements) {
    std::u16string quoted = QuoteBracketedNames(text, connection.IdentifierQuote());
    const SQLRETURN rc =
        SQLExecDirectW(statement.Handle(), ToSql(quoted.data()), static_cast<SQLINTEGER>(quoted.size()));
    // SQL_NO_DATA: a searched UPDATE or DELETE that matched no row.
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      return failed(OdbcFailure(SQL_HANDLE_STMT, statement.Handle(), "the driver could not run the statement"));
    }
    SQLLEN changed = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(statement.Handle(), &changed))) changed = -1;
    SQLFreeStmt(statement.Handle(), SQL_CLOSE);
    // The client changes one controller at a time, addressed by its key; no row
    // changed means it is gone (or was renumbered), and saying "done" would leave
    // the operator believing a setting was stored that was not.
    if (FirstKeyword(text) == "UPDATE" && changed == 0) {
      end(false);
      failure = {kNoRowMatched, kNoRowMatchedText};
      return false;
    }
  }
  if (!beforeCommit(failure)) {
    end(false);
    return false;
  }
  return end(true);
}

}  // namespace velmora::server
