#include "server/odbc_backend.h"

#include <algorithm>
#include <array>

#include "server/odbc_recordset.h"
#include "server/odbc_session.h"
#include "server/sql_text.h"
#include "server/text_rules.h"

namespace velmora::server {
namespace {

// How often a call meets a dead connection before its failure is reported: once
// is a server restarted or a session ended since the last call, and is mended by
// connecting anew; twice is a server that is gone.
constexpr int kAttempts = 2;

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// Statements that open, end or mark a transaction, whichever server's words.
bool EndsOrOpensTransaction(const std::string& keyword) {
  return IsTransactionKeyword(keyword) ||
         OneOf(keyword, {"START", "SAVEPOINT", "RELEASE", "ABORT", "XA", "PREPARE", "CHECKPOINT"});
}

// The session is the service's: a text may not change its settings, default
// database, locks, temporary objects or cursors for the calls that follow, nor
// move files between the server and a client's or server's disk.
std::string SessionChange(const std::vector<std::string>& words, SqlDialect dialect) {
  if (words.empty()) return {};
  const std::string& first = words.front();
  if (OneOf(first, {"SET", "RESET", "USE", "LOCK", "UNLOCK", "DISCARD", "LISTEN", "UNLISTEN", "DECLARE", "HANDLER",
                    "LOAD", "COPY", "DEALLOCATE", "FLUSH", "KILL", "SHUTDOWN", "INSTALL", "UNINSTALL"})) {
    return first;
  }
  if (first == "CREATE") {
    for (std::size_t i = 1; i < std::min<std::size_t>(words.size(), 6); ++i) {
      if (words[i] == "TEMP" || words[i] == "TEMPORARY") return "CREATE " + words[i];
    }
  }
  if (dialect == SqlDialect::Mysql) {
    for (const std::string& word : words) {
      if (word == "OUTFILE" || word == "DUMPFILE") return "INTO " + word;
    }
  }
  return {};
}

// Whether a statement writes rows, and so is held to the no-row rule: a data
// statement, or a WITH whose query (or one of its parts) is one.
bool WritesRows(const std::vector<std::string>& words) {
  if (words.empty()) return false;
  if (IsRowWritingKeyword(words.front()) || OneOf(words.front(), {"UPDATE", "DELETE", "INSERT", "MERGE", "REPLACE"})) {
    return true;
  }
  if (words.front() != "WITH") return false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    // FOR UPDATE, FOR NO KEY UPDATE: a lock of the rows read, not a write.
    const bool locking = words[i - 1] == "FOR" || words[i - 1] == "KEY";
    if (!locking && OneOf(words[i], {"UPDATE", "DELETE", "INSERT", "MERGE"})) return true;
  }
  return false;
}

// MariaDB and MySQL commit the open transaction before these statements and
// after them, whatever a transaction, READ ONLY included, says: neither a query's
// fence nor a command's one transaction would hold.
bool CommitsByItself(const std::string& keyword) {
  return OneOf(keyword, {"CREATE", "ALTER", "DROP", "RENAME", "TRUNCATE", "GRANT", "REVOKE", "ANALYZE", "OPTIMIZE",
                         "REPAIR", "CACHE", "INSTALL", "UNINSTALL", "FLUSH", "RESET", "PURGE", "CHANGE", "BACKUP"});
}

Status RefusedSessionChange(const std::string& what) {
  return {kBadStatementText, "the service keeps its connection's session to itself: " + what +
                                 " statements are refused"};
}

Status MoreThanOneCommand() {
  return {kBadStatementText, "the command text holds more than one statement; the server is handed one at a time"};
}

// The checks every text passes before it reaches the server: what the server would
// take for a statement, and which ones the service refuses to hand it.
Status CheckText(std::u16string_view text, TextUse use, SqlDialect dialect) {
  if (Status status = CheckReceivedText(text); !status) return status;
  const std::size_t statements = CountStatements(text, dialect);
  if (statements == 0) return NoStatement(use);
  // A second statement would run unseen by the checks below (and be dropped from
  // a query's rows); the server's prepare refuses it too.
  if (statements > 1) {
    for (const std::u16string_view statement : SplitStatements(text)) {
      if (EndsOrOpensTransaction(FirstKeyword(statement, dialect))) return OwnTransaction();
    }
    return use == TextUse::Query ? MoreThanOneQuery() : MoreThanOneCommand();
  }
  const std::vector<std::string> words = CodeWords(text, dialect);
  const std::string first = FirstKeyword(text, dialect);
  if (EndsOrOpensTransaction(first)) return OwnTransaction();
  if (const std::string change = SessionChange(words, dialect); !change.empty()) return RefusedSessionChange(change);
  if (dialect == SqlDialect::Mysql && CommitsByItself(first)) {
    return {kBadStatementText, "on this server " + first +
                                   " commits by itself, outside the one transaction of a call; it is refused"};
  }
  return Status::Ok();
}

// text in the server's quoting; the rewrite may not join or part statements.
Status Quoted(std::u16string_view text, const OdbcConnection& connection, std::u16string& quoted, TextUse use) {
  quoted = QuoteBracketedNames(text, connection.IdentifierQuote(), connection.Dialect());
  if (CountStatements(quoted, connection.Dialect()) != 1) {
    return use == TextUse::Query ? MoreThanOneQuery() : MoreThanOneCommand();
  }
  return Status::Ok();
}

}  // namespace

OdbcBackend::OdbcBackend(const ServiceSettings& settings) : FConnectionString(settings.Odbc) {
  FBounds.Statement = std::chrono::milliseconds(std::max(1, settings.StatementTimeoutMs));
  FBounds.Lock = std::chrono::milliseconds(std::max(0, settings.BusyTimeoutMs));
}

Status OdbcBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) {
  if (Status status = CheckReceivedText(text); !status) return status;
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<OdbcConnection> connection;
    if (Status status = OdbcConnection::Acquire(FConnectionString, connection); !status) return status;
    if (Status status = CheckText(text, TextUse::Query, connection->Dialect()); !status) return status;
    std::u16string statement;
    if (Status status = Quoted(text, *connection, statement, TextUse::Query); !status) return status;
    Status status = OdbcRecordset::Open(std::move(connection), host, FBounds, std::move(statement), recordset);
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
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<OdbcConnection> connection;
    if (Status status = OdbcConnection::Acquire(FConnectionString, connection); !status) return status;
    if (Status status = CheckText(text, TextUse::Command, connection->Dialect()); !status) return status;
    Status status = RunTransaction(connection, text, beforeCommit);
    // A transaction cut off by a lost connection was rolled back by the server, so
    // it is run again whole on a new one; one lost during its commit is not, since
    // it may have been stored.
    if (status || !status.ConnectionLost || attempt == kAttempts) return status;
  }
}

Status OdbcBackend::RunTransaction(const std::shared_ptr<OdbcConnection>& connection, std::u16string_view text,
                                   const BeforeCommit& beforeCommit) const {
  std::lock_guard lock(connection->Mutex());
  std::u16string quoted;
  if (Status status = Quoted(text, *connection, quoted, TextUse::Command); !status) return status;
  OdbcCall call(connection, FBounds, TextUse::Command);
  if (Status status = call.Begin(); !status) return status;
  OdbcStatement statement(connection);
  if (statement.Handle() == SQL_NULL_HSTMT) {
    Status failure = OdbcFailure(SQL_HANDLE_DBC, connection->Handle(), "the driver could not make a statement handle");
    failure.ConnectionLost = connection->Dead();
    return failure;
  }
  if (Status status = call.Run(statement.Handle(), quoted); !status) return status;
  SQLLEN changed = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(statement.Handle(), &changed))) changed = -1;
  statement.Reset();
  if (WritesRows(CodeWords(text, connection->Dialect()))) {
    if (Status status = CheckRowsChanged(changed); !status) return status;
  }
  if (Status status = beforeCommit(); !status) return status;
  return call.Commit();
}

}  // namespace velmora::server
