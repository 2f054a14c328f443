#include "server/sqlite_recordset.h"

#include <string>

#include "server/text_rules.h"

namespace velmora::server {
namespace {

// The kind a column's declared type gives, by SQLite's own affinity rules (the
// first rule that matches wins); an expression column has no declared type.
IRecordset::FieldKind KindOfDeclaredType(const char* declared) {
  if (declared == nullptr) return IRecordset::FieldKind::Other;
  std::string upper(declared);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const auto has = [&](const char* part) { return upper.find(part) != std::string::npos; };
  if (has("INT")) return IRecordset::FieldKind::Integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return IRecordset::FieldKind::Text;
  if (has("BLOB")) return IRecordset::FieldKind::Other;
  if (has("REAL") || has("FLOA") || has("DOUB")) return IRecordset::FieldKind::Real;
  return IRecordset::FieldKind::Other;
}

std::size_t ByteCount(std::u16string_view text) { return text.size() * sizeof(char16_t); }

}  // namespace

Status SqliteRecordset::Open(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                             std::u16string_view text, ComPtr<IRecordset>& recordset) {
  if (Status status = CheckReceivedText(text); !status) return status;
  std::unique_lock lock(connection->Mutex());
  sqlite3* db = connection->Handle();
  sqlite3_stmt* prepared = nullptr;
  const void* tail = nullptr;
  const int prepareRc = sqlite3_prepare16_v2(db, text.data(), static_cast<int>(ByteCount(text)), &prepared, &tail);
  SqliteStatement statement(prepared);
  if (prepareRc != SQLITE_OK) return connection->SqliteFailure(prepareRc);
  if (statement == nullptr) return NoStatement(TextUse::Query);
  // Whatever follows the query would be dropped unseen; refuse it instead.
  const std::u16string_view rest = text.substr(static_cast<const char16_t*>(tail) - text.data());
  if (!rest.empty()) {
    sqlite3_stmt* next = nullptr;
    const int rc = sqlite3_prepare16_v2(db, rest.data(), static_cast<int>(ByteCount(rest)), &next, nullptr);
    const SqliteStatement following(next);
    if (rc != SQLITE_OK || following != nullptr) return MoreThanOneQuery();
  }

  const int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return connection->SqliteFailure(rc);
  auto* created = new SqliteRecordset(std::move(connection), host, std::move(statement));
  created->FEof = rc == SQLITE_DONE;
  recordset = ComPtr<IRecordset>::Attach(created);
  return Status::Ok();
}

SqliteRecordset::SqliteRecordset(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                                 SqliteStatement statement)
    : RecordsetBase(host), FConnection(std::move(connection)), FStatement(std::move(statement)) {
  sqlite3_stmt* stmt = FStatement.get();
  const int count = sqlite3_column_count(stmt);
  FFields.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto* name = static_cast<const char16_t*>(sqlite3_column_name16(stmt, i));
    FFields.push_back({name ? name : u"", KindOfDeclaredType(sqlite3_column_decltype(stmt, i))});
  }
}

SqliteRecordset::~SqliteRecordset() { Close(); }

Status SqliteRecordset::StepLocked() {
  const int rc = sqlite3_step(FStatement.get());
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
    FEof = rc == SQLITE_DONE;
    return Status::Ok();
  }
  // A failed step ends the set: what is past the failure cannot be read.
  FEof = true;
  return FConnection->SqliteFailure(rc);
}

Status SqliteRecordset::Rewind() {
  std::lock_guard lock(FConnection->Mutex());
  sqlite3_reset(FStatement.get());
  return StepLocked();
}

Status SqliteRecordset::Advance() {
  std::lock_guard lock(FConnection->Mutex());
  return StepLocked();
}

Status SqliteRecordset::Read(std::size_t field, Variant& value) {
  const int index = static_cast<int>(field);
  sqlite3_stmt* stmt = FStatement.get();
  std::lock_guard lock(FConnection->Mutex());
  switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
      value = Variant::FromInteger(sqlite3_column_int64(stmt, index));
      break;
    case SQLITE_FLOAT:
      value = Variant::FromReal(sqlite3_column_double(stmt, index));
      break;
    case SQLITE_TEXT: {
      // UTF-8 as stored: handing it out as it is saves a conversion here, and the
      // client converts once, into the form it keeps.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
      const int bytes = sqlite3_column_bytes(stmt, index);
      value = Variant::FromText(std::string_view(text ? text : "", text ? static_cast<std::size_t>(bytes) : 0));
      break;
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, index));
      const int bytes = sqlite3_column_bytes(stmt, index);
      value = Variant::FromText(std::string_view(blob ? blob : "", blob ? static_cast<std::size_t>(bytes) : 0));
      break;
    }
    default:
      value = Variant::Null();
      break;
  }
  return Status::Ok();
}

HRESULT SqliteRecordset::Close() {
  // Closing twice is harmless, so a client may close in its own clean-up too.
  if (FStatement == nullptr) return S_OK;
  {
    std::lock_guard lock(FConnection->Mutex());
    // A fork child must not touch its parent's handles, not even to free them.
    if (!FConnection->OwnedByThisProcess()) (void)FStatement.release();
    FStatement.reset();
  }
  FConnection.reset();
  return S_OK;
}

}  // namespace velmora::server
