#include "server/sqlite_backend.h"

#include <sqlite3.h>

#include "server/sql_text.h"
#include "server/sqlite_recordset.h"
#include "server/text_rules.h"

namespace velmora::server {

Status SqliteBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) {
  std::shared_ptr<SqliteConnection> connection;
  if (Status status = SqliteConnection::Acquire(FOptions, connection); !status) return status;
  return SqliteRecordset::Open(std::move(connection), host, text, recordset);
}

Status SqliteBackend::ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) {
  std::shared_ptr<SqliteConnection> connection;
  if (Status status = SqliteConnection::Acquire(FOptions, connection); !status) return status;

  SqliteConnection::Call call(*connection);
  sqlite3* db = connection->Handle();
  // Whatever failed, the connection goes back to autocommit, or is replaced.
  const auto rollBack = [&](Status failure) {
    if (Status ended = connection->EnsureAutocommit(); !ended) failure.Description += "; " + ended.Description;
    return failure;
  };
  // IMMEDIATE takes the write lock at once (waiting for it as long as the busy
  // timeout allows), so no statement of the text can meet a lock half-way.
  if (const int rc = connection->ExecOwn("BEGIN IMMEDIATE"); rc != SQLITE_OK) {
    return rollBack(connection->SqliteFailure(rc));
  }
  if (Status status = RunStatements(*connection, text); !status) return rollBack(std::move(status));
  if (Status status = beforeCommit(); !status) return rollBack(std::move(status));
  if (const int rc = connection->ExecOwn("COMMIT"); rc != SQLITE_OK) {
    Status failure = connection->SqliteFailure(rc);
    // A commit that failed with the transaction still open (a lock, the deadline
    // before it began) is rolled back and stored nothing; one that failed once the
    // transaction had ended (an I/O error half-way) may have reached the file.
    if (sqlite3_get_autocommit(db) != 0) {
      failure.MayBeStored = true;
      failure.Description += "; the commit failed part-way, so the change may or may not be stored";
      return failure;
    }
    failure.Description += "; the change was not stored";
    return rollBack(std::move(failure));
  }
  return connection->EnsureAutocommit();
}

Status SqliteBackend::RunStatements(SqliteConnection& connection, std::u16string_view text) {
  if (Status status = CheckReceivedText(text); !status) return status;
  if (Status status = SqliteConnection::CheckLength(text); !status) return status;
  sqlite3* db = connection.Handle();
  const char16_t* next = text.data();
  const char16_t* const end = text.data() + text.size();
  int statements = 0;
  while (next < end) {
    sqlite3_stmt* prepared = nullptr;
    const void* tail = nullptr;
    const int bytes = static_cast<int>((end - next) * sizeof(char16_t));
    const int prepareRc = sqlite3_prepare16_v2(db, next, bytes, &prepared, &tail);
    const SqliteStatement statement(prepared);
    if (prepareRc != SQLITE_OK) return connection.SqliteFailure(prepareRc);
    const char16_t* const after = static_cast<const char16_t*>(tail);
    if (statement == nullptr) {  // only blanks or comments were left
      if (after <= next) break;
      next = after;
      continue;
    }
    next = after;
    const char* sql = sqlite3_sql(statement.get());
    const std::string keyword = FirstKeyword(std::string_view(sql ? sql : ""));
    if (IsTransactionKeyword(keyword)) return OwnTransaction();
    if (Status status = SqliteConnection::CheckStatement(keyword); !status) return status;
    // Counted over the whole connection, so rows that triggers change count too
    // (a view's INSTEAD OF UPDATE trigger changes the table, not the view).
    const sqlite3_int64 changesBefore = sqlite3_total_changes64(db);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return connection.SqliteFailure(rc);
    ++statements;
    // WITH leads a query or a change; only the change is held to the rule.
    if (IsRowWritingKeyword(keyword) || (keyword == "WITH" && !sqlite3_stmt_readonly(statement.get()))) {
      if (Status status = CheckRowsChanged(sqlite3_total_changes64(db) - changesBefore); !status) return status;
    }
  }
  if (statements == 0) return NoStatement(TextUse::Command);
  return Status::Ok();
}

}  // namespace velmora::server
