#include "server/sqlite_backend.h"

#include <sqlite3.h>

#include "server/sql_text.h"
#include "server/sqlite_recordset.h"

namespace velmora::server {

ComPtr<IRecordset> SqliteBackend::OpenQuery(const VelmoraHostApi& host, std::u16string_view text, Failure& failure) {
  std::shared_ptr<SqliteConnection> connection = SqliteConnection::Acquire(FDatabase, FBusyTimeoutMs, failure);
  if (!connection) return nullptr;
  return SqliteRecordset::Open(std::move(connection), host, text, failure);
}

bool SqliteBackend::ExecuteCommand(std::u16string_view text, const BeforeCommit& beforeCommit, Failure& failure) {
  const std::shared_ptr<SqliteConnection> connection = SqliteConnection::Acquire(FDatabase, FBusyTimeoutMs, failure);
  if (!connection) return false;

  std::lock_guard lock(connection->Mutex());
  sqlite3* db = connection->Handle();
  const auto rollBack = [db] {
    if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  };
  // IMMEDIATE takes the write lock at once (waiting for it as long as the busy
  // timeout allows), so no statement of the text can meet a lock half-way.
  if (const int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    failure = connection->SqliteFailure(rc);
    rollBack();
    return false;
  }
  if (!RunStatements(*connection, text, failure) || !beforeCommit(failure)) {
    rollBack();
    return false;
  }
  if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    failure = connection->SqliteFailure(rc);
    rollBack();
    return false;
  }
  return true;
}

bool SqliteBackend::RunStatements(SqliteConnection& connection, std::u16string_view text, Failure& failure) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    failure = {kBadStatementText, kNulInText};
    return false;
  }
  sqlite3* db = connection.Handle();
  const char16_t* next = text.data();
  const char16_t* const end = text.data() + text.size();
  int statements = 0;
  while (next < end) {
    sqlite3_stmt* statement = nullptr;
    const void* tail = nullptr;
    const int bytes = static_cast<int>((end - next) * sizeof(char16_t));
    if (const int rc = sqlite3_prepare16_v2(db, next, bytes, &statement, &tail); rc != SQLITE_OK) {
      failure = connection.SqliteFailure(rc);
      return false;
    }
    const char16_t* const after = static_cast<const char16_t*>(tail);
    if (statement == nullptr) {  // only blanks or comments were left
      if (after <= next) break;
      next = after;
      continue;
    }
    next = after;
    const char* sql = sqlite3_sql(statement);
    const std::string keyword = FirstKeyword(std::string_view(sql ? sql : ""));
    if (keyword == "BEGIN" || keyword == "COMMIT" || keyword == "END" || keyword == "ROLLBACK") {
      sqlite3_finalize(statement);
      failure = {kBadStatementText, kOwnTransactionText};
      return false;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      failure = connection.SqliteFailure(rc);
      sqlite3_finalize(statement);
      return false;
    }
    sqlite3_finalize(statement);
    ++statements;
    // The client changes one controller at a time, addressed by its key; no row
    // changed means it is gone (or was renumbered), and saying "done" would leave
    // the operator believing a setting was stored that was not.
    if (keyword == "UPDATE" && sqlite3_changes(db) == 0) {
      failure = {kNoRowMatched, kNoRowMatchedText};
      return false;
    }
  }
  if (statements == 0) {
    failure = {kBadStatementText, "the command text holds no statement"};
    return false;
  }
  return true;
}

}  // namespace velmora::server
