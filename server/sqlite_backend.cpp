#include "server/sqlite_backend.h"

#include <sqlite3.h>

#include "server/sql_text.h"
#include "server/sqlite_recordset.h"
#include "server/text_rules.h"

namespace velmora::server {

Status SqliteBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, ComPtr<IRecordset>& recordset) {
  std::shared_ptr<SqliteConnection> connection;
  if (Status status = SqliteConnection::Acquire(FDatabase, FBusyTimeoutMs, connection); !status) return status;
  return SqliteRecordset::Open(std::move(connection), host, text, recordset);
}

Status SqliteBackend::ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit) {
  std::shared_ptr<SqliteConnection> connection;
  if (Status status = SqliteConnection::Acquire(FDatabase, FBusyTimeoutMs, connection); !status) return status;

  std::lock_guard lock(connection->Mutex());
  sqlite3* db = connection->Handle();
  const auto rollBack = [db](Status failure) {
    if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return failure;
  };
  // IMMEDIATE takes the write lock at once (waiting for it as long as the busy
  // timeout allows), so no statement of the text can meet a lock half-way.
  if (const int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    return rollBack(connection->SqliteFailure(rc));
  }
  if (Status status = RunStatements(*connection, text); !status) return rollBack(std::move(status));
  if (Status status = beforeCommit(); !status) return rollBack(std::move(status));
  if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    return rollBack(connection->SqliteFailure(rc));
  }
  return Status::Ok();
}

Status SqliteBackend::RunStatements(SqliteConnection& connection, std::u16string_view text) {
  if (Status status = CheckReceivedText(text); !status) return status;
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
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return connection.SqliteFailure(rc);
    ++statements;
    if (IsRowWritingKeyword(keyword)) {
      if (Status status = CheckRowsChanged(sqlite3_changes(db)); !status) return status;
    }
  }
  if (statements == 0) return NoStatement(TextUse::Command);
  return Status::Ok();
}

}  // namespace velmora::server
