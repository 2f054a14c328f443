#include "server/odbc_backend.h"

#include "server/odbc_recordset.h"
#include "server/sql_text.h"
#include "server/text_rules.h"

namespace velmora::server {
namespace {

// How often a call meets a dead connection before its failure is reported: once
// is a server restarted or a session ended since the last call, and is mended by
// connecting anew; twice is a server that is gone.
constexpr int kAttempts = 2;

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

Status OdbcBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) {
  if (Status status = CheckReceivedText(text); !status) return status;
  const std::vector<std::u16string_view> statements = SplitStatements(text);
  if (statements.empty()) return NoStatement(TextUse::Query);
  // Whatever follows the query would be dropped unseen; refuse it instead.
  if (statements.size() > 1) return MoreThanOneQuery();
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<OdbcConnection> connection;
    if (Status status = OdbcConnection::Acquire(FConnectionString, connection); !status) return status;
    std::u16string statement = QuoteBracketedNames(statements.front(), connection->IdentifierQuote());
    Status status = OdbcRecordset::Open(std::move(connection), host, std::move(statement), recordset);
    // A query changes nothing, so one that met a dead connection runs again on a
    // new one.
    if (status || !status.ConnectionLost || attempt == kAttempts) {
      if (status.ConnectionLost) status.Code = kOdbcConnectionFailed;
      return status;
    }
  }
}

Status OdbcBackend::ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) {
  if (Status status = CheckReceivedText(text); !status) return status;
  const std::vector<std::u16string_view> statements = SplitStatements(text);
  if (statements.empty()) return NoStatement(TextUse::Command);
  for (const std::u16string_view statement : statements) {
    if (IsTransactionKeyword(FirstKeyword(statement))) return OwnTransaction();
  }
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<OdbcConnection> connection;
    if (Status status = OdbcConnection::Acquire(FConnectionString, connection); !status) return status;
    std::lock_guard lock(connection->Mutex());
    Status status = RunTransaction(*connection, statements, beforeCommit);
    // A transaction cut off by a lost connection was rolled back by the server, so
    // it is run again whole on a new one; one lost during its commit is not, since
    // it may have been stored.
    if (status || !status.ConnectionLost || attempt == kAttempts) return status;
  }
}

Status OdbcBackend::RunTransaction(OdbcConnection& connection, const std::vector<std::u16string_view>& statements,
                                   const BeforeCommit& beforeCommit) {
  SQLHDBC dbc = connection.Handle();
  const auto setAutocommit = [dbc](bool on) {
    return SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                              SQL_IS_UINTEGER);
  };
  // Whatever happens, the connection goes back to autocommit for the queries.
  const auto commit = [&]() -> Status {
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    Status status = Status::Ok();
    if (!SQL_SUCCEEDED(rc)) {
      status = OdbcFailure(SQL_HANDLE_DBC, dbc, "the server did not commit the change");
      if (connection.Dead()) {
        status.Code = kOdbcConnectionFailed;
        status.MayBeStored = true;
        status.Description += "; the connection was lost during the commit, so the change may or may not be stored";
      }
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    }
    setAutocommit(true);
    return status;
  };
  const auto rollBack = [&](Status failure) {
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    setAutocommit(true);
    return failure;
  };
  const auto failed = [&](Status driverFailure) {
    driverFailure.ConnectionLost = connection.Dead();
    if (driverFailure.ConnectionLost) driverFailure.Code = kOdbcConnectionFailed;
    return rollBack(std::move(driverFailure));
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
    if (IsRowWritingKeyword(FirstKeyword(text))) {
      if (Status status = CheckRowsChanged(changed); !status) return rollBack(std::move(status));
    }
  }
  if (Status status = beforeCommit(); !status) return rollBack(std::move(status));
  return commit();
}

}  // namespace velmora::server
