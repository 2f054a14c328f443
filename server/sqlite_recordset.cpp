#include "server/sqlite_recordset.h"

#include <string>

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

ComPtr<IRecordset> SqliteRecordset::Open(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                                         std::u16string_view text, Failure& failure) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    failure = {kBadStatementText, kNulInText};
    return nullptr;
  }
  std::unique_lock lock(connection->Mutex());
  sqlite3* db = connection->Handle();
  sqlite3_stmt* statement = nullptr;
  const void* tail = nullptr;
  if (const int rc = sqlite3_prepare16_v2(db, text.data(), static_cast<int>(ByteCount(text)), &statement, &tail);
      rc != SQLITE_OK) {
    failure = connection->SqliteFailure(rc);
    return nullptr;
  }
  if (statement == nullptr) {
    failure = {kBadStatementText, "the query text holds no statement"};
    return nullptr;
  }
  // Whatever follows the query would be dropped unseen; refuse it instead.
  const std::u16string_view rest = text.substr(static_cast<const char16_t*>(tail) - text.data());
  if (!rest.empty()) {
    sqlite3_stmt* next = nullptr;
    const int rc = sqlite3_prepare16_v2(db, rest.data(), static_cast<int>(ByteCount(rest)), &next, nullptr);
    sqlite3_finalize(next);
    if (rc != SQLITE_OK || next != nullptr) {
      sqlite3_finalize(statement);
      failure = {kBadStatementText, "the query text holds more than one statement"};
      return nullptr;
    }
  }

  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    failure = connection->SqliteFailure(rc);
    sqlite3_finalize(statement);
    return nullptr;
  }
  auto* recordset = new SqliteRecordset(std::move(connection), host, statement);
  recordset->FEof = rc == SQLITE_DONE;
  return ComPtr<IRecordset>::Attach(recordset);
}

SqliteRecordset::SqliteRecordset(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                                 sqlite3_stmt* statement)
    : FConnection(std::move(connection)), FHost(host), FStatement(statement) {
  const int count = sqlite3_column_count(statement);
  FNames.reserve(count);
  FKinds.reserve(count);
  for (int i = 0; i < count; ++i) {
    const auto* name = static_cast<const char16_t*>(sqlite3_column_name16(statement, i));
    FNames.emplace_back(name ? name : u"");
    FKinds.push_back(KindOfDeclaredType(sqlite3_column_decltype(statement, i)));
  }
}

SqliteRecordset::~SqliteRecordset() { Close(); }

HRESULT SqliteRecordset::Fail(HRESULT code, std::string description) {
  return Report(FHost, {code, std::move(description)});
}

HRESULT SqliteRecordset::NullPointer() { return Fail(E_POINTER, "Invalid pointer: a required argument is null"); }

HRESULT SqliteRecordset::CheckOpen() {
  return FStatement ? S_OK : Fail(kRecordsetClosed, "Operation is not allowed when the object is closed");
}

HRESULT SqliteRecordset::CheckIndex(std::int32_t index) {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (index < 0 || static_cast<std::size_t>(index) >= FNames.size()) {
    return Fail(E_INVALIDARG, "field index " + std::to_string(index) + " is out of range: the record set has " +
                                  std::to_string(FNames.size()) + " fields");
  }
  return S_OK;
}

HRESULT SqliteRecordset::GetState(std::int32_t* state) {
  if (state == nullptr) return NullPointer();
  *state = FStatement ? kStateOpen : kStateClosed;
  return S_OK;
}

HRESULT SqliteRecordset::GetFieldCount(std::int32_t* count) {
  if (count == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *count = static_cast<std::int32_t>(FNames.size());
  return S_OK;
}

HRESULT SqliteRecordset::GetFieldName(std::int32_t index, std::u16string* name) {
  if (name == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *name = FNames[index];
  return S_OK;
}

HRESULT SqliteRecordset::GetFieldKind(std::int32_t index, FieldKind* kind) {
  if (kind == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *kind = FKinds[index];
  return S_OK;
}

HRESULT SqliteRecordset::StepLocked() {
  const int rc = sqlite3_step(FStatement);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
    FEof = rc == SQLITE_DONE;
    return S_OK;
  }
  // A failed step ends the set: what is past the failure cannot be read.
  FEof = true;
  return Report(FHost, FConnection->SqliteFailure(rc));
}

HRESULT SqliteRecordset::MoveFirst() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FOnFirstRow) return S_OK;
  std::lock_guard lock(FConnection->Mutex());
  sqlite3_reset(FStatement);
  FOnFirstRow = true;
  return StepLocked();
}

HRESULT SqliteRecordset::MoveNext() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FEof) return Fail(kNoCurrentRow, "Either BOF or EOF is True: there is no current record");
  std::lock_guard lock(FConnection->Mutex());
  FOnFirstRow = false;
  return StepLocked();
}

HRESULT SqliteRecordset::GetEOF(bool* eof) {
  if (eof == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *eof = FEof;
  return S_OK;
}

HRESULT SqliteRecordset::GetValue(std::int32_t index, Variant* value) {
  if (value == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  if (FEof) return Fail(kNoCurrentRow, "Either BOF or EOF is True: there is no current record");
  std::lock_guard lock(FConnection->Mutex());
  switch (sqlite3_column_type(FStatement, index)) {
    case SQLITE_INTEGER:
      *value = Variant::FromInteger(sqlite3_column_int64(FStatement, index));
      break;
    case SQLITE_FLOAT:
      *value = Variant::FromReal(sqlite3_column_double(FStatement, index));
      break;
    case SQLITE_TEXT: {
      // UTF-8 as stored: handing it out as it is saves a conversion here, and the
      // client converts once, into the form it keeps.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, index));
      const int bytes = sqlite3_column_bytes(FStatement, index);
      *value = Variant::FromText(std::string_view(text ? text : "", text ? bytes : 0));
      break;
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(FStatement, index));
      const int bytes = sqlite3_column_bytes(FStatement, index);
      *value = Variant::FromText(std::string_view(blob ? blob : "", blob ? bytes : 0));
      break;
    }
    default:
      *value = Variant::Null();
      break;
  }
  return S_OK;
}

HRESULT SqliteRecordset::Close() {
  // Closing twice is harmless, so a client may close in its own clean-up too.
  if (FStatement == nullptr) return S_OK;
  {
    std::lock_guard lock(FConnection->Mutex());
    if (FConnection->OwnedByThisProcess()) sqlite3_finalize(FStatement);
    FStatement = nullptr;
  }
  FConnection.reset();
  return S_OK;
}

}  // namespace velmora::server
