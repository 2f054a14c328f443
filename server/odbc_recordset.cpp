#include "server/odbc_recordset.h"

#include <algorithm>
#include <cstring>

namespace velmora::server {
namespace {

// A block of rows is about this many bytes, and holds from 1 to kMaxBlockRows rows:
// large enough that a fetch's cost is spread over hundreds of rows, small enough
// to stay in the processor's caches.
constexpr std::size_t kBlockBytes = 512 * 1024;
constexpr SQLULEN kMaxBlockRows = 1024;
// Texts are bound as wide as their declared size, up to this many characters;
// wider and unknown sizes (PostgreSQL's text, SQLite's TEXT) are bound this wide,
// and a longer value is read whole when it is asked for.
constexpr std::size_t kMaxBoundChars = 1024;
constexpr std::size_t kUnknownSizeChars = 255;

std::size_t AlignUp(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

constexpr const char* kNoCurrentRowText = "Either BOF or EOF is True: there is no current record";

}  // namespace

ComPtr<IRecordset> OdbcRecordset::Open(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                                       std::u16string statement, Failure& failure, bool& lost) {
  lost = false;
  std::unique_lock lock(connection->Mutex());
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection->Handle(), &handle))) {
    failure = OdbcFailure(SQL_HANDLE_DBC, connection->Handle(), "the driver could not make a statement handle");
    lost = connection->Dead();
    return nullptr;
  }
  const SQLRETURN rc = SQLExecDirectW(handle, ToSql(statement.data()), static_cast<SQLINTEGER>(statement.size()));
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    failure = OdbcFailure(SQL_HANDLE_STMT, handle, "the driver could not run the query");
    lost = connection->Dead();
    SQLFreeHandle(SQL_HANDLE_STMT, handle);
    return nullptr;
  }
  ComPtr<IRecordset> recordset;
  auto* created = new OdbcRecordset(connection, host, handle, std::move(statement));
  recordset = ComPtr<IRecordset>::Attach(created);
  if (!created->Prepare(failure) || !created->FetchLocked(failure)) {
    lost = connection->Dead();
    lock.unlock();
    recordset->Close();
    return nullptr;
  }
  return recordset;
}

OdbcRecordset::OdbcRecordset(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                             SQLHSTMT statement, std::u16string text)
    : FConnection(std::move(connection)), FHost(host), FStatement(statement), FText(std::move(text)) {}

OdbcRecordset::~OdbcRecordset() { Close(); }

bool OdbcRecordset::Prepare(Failure& failure) {
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(FStatement, &count))) {
    failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not describe the result");
    return false;
  }
  FRowByRow = !FConnection->BlockFetch();
  FColumns.resize(static_cast<std::size_t>(count));
  std::size_t offset = 0;
  for (SQLUSMALLINT i = 0; i < static_cast<SQLUSMALLINT>(count); ++i) {
    Column& column = FColumns[i];
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(FStatement, static_cast<SQLUSMALLINT>(i + 1), name, 256, &nameLength, &type,
                                       &size, &digits, &nullable))) {
      failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not describe the result");
      return false;
    }
    column.Name.assign(reinterpret_cast<const char16_t*>(name), std::min<std::size_t>(nameLength, 255));
    switch (type) {
      case SQL_BIT:
      case SQL_TINYINT:
      case SQL_SMALLINT:
      case SQL_INTEGER:
      case SQL_BIGINT:
        column.Kind = FieldKind::Integer;
        column.Store = Storage::Integer;
        break;
      case SQL_NUMERIC:
      case SQL_DECIMAL:
        // Whole numbers stay exact; anything with a fraction is a real.
        column.Kind = digits == 0 ? FieldKind::Integer : FieldKind::Real;
        column.Store = digits == 0 ? Storage::Integer : Storage::Real;
        break;
      case SQL_REAL:
      case SQL_FLOAT:
      case SQL_DOUBLE:
        column.Kind = FieldKind::Real;
        column.Store = Storage::Real;
        break;
      case SQL_CHAR:
      case SQL_VARCHAR:
      case SQL_LONGVARCHAR:
      case SQL_WCHAR:
      case SQL_WVARCHAR:
      case SQL_WLONGVARCHAR:
        column.Kind = FieldKind::Text;
        column.Store = Storage::Text;
        break;
      default:
        // Dates, binary and the like arrive as the driver writes them as text.
        column.Kind = FieldKind::Other;
        column.Store = Storage::Text;
        break;
    }
    column.ValueOffset = offset;
    if (column.Store == Storage::Text) {
      const std::size_t chars = size > 0 && size <= kMaxBoundChars ? size : kUnknownSizeChars;
      column.TextUnits = chars + 1;
      offset += AlignUp(column.TextUnits * sizeof(SQLWCHAR));
    } else {
      offset += 8;
    }
    column.IndicatorOffset = offset;
    offset += AlignUp(sizeof(SQLLEN));
  }
  FRowSize = std::max<std::size_t>(offset, 8);
  FBlockRows = FRowByRow ? 1 : std::clamp<SQLULEN>(kBlockBytes / FRowSize, 1, kMaxBlockRows);
  FBuffer.assign(FBlockRows * FRowSize, 0);
  FRowStatus.assign(FBlockRows, SQL_ROW_SUCCESS);
  if (FRowByRow) return true;

  const auto set = [&](SQLINTEGER attribute, SQLULEN value) {
    return SQL_SUCCEEDED(SQLSetStmtAttrW(FStatement, attribute, reinterpret_cast<SQLPOINTER>(value), 0));
  };
  const auto setPointer = [&](SQLINTEGER attribute, void* pointer) {
    return SQL_SUCCEEDED(SQLSetStmtAttrW(FStatement, attribute, pointer, 0));
  };
  if (!set(SQL_ATTR_ROW_BIND_TYPE, FRowSize) || !set(SQL_ATTR_ROW_ARRAY_SIZE, FBlockRows) ||
      !setPointer(SQL_ATTR_ROWS_FETCHED_PTR, &FFetched) || !setPointer(SQL_ATTR_ROW_STATUS_PTR, FRowStatus.data())) {
    failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver refused to fetch rows in blocks");
    return false;
  }
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    Column& column = FColumns[i];
    unsigned char* value = FBuffer.data() + column.ValueOffset;
    auto* indicator = reinterpret_cast<SQLLEN*>(FBuffer.data() + column.IndicatorOffset);
    SQLSMALLINT cType = SQL_C_WCHAR;
    SQLLEN bytes = static_cast<SQLLEN>(column.TextUnits * sizeof(SQLWCHAR));
    if (column.Store == Storage::Integer) {
      cType = SQL_C_SBIGINT;
      bytes = sizeof(std::int64_t);
    } else if (column.Store == Storage::Real) {
      cType = SQL_C_DOUBLE;
      bytes = sizeof(double);
    }
    if (!SQL_SUCCEEDED(SQLBindCol(FStatement, static_cast<SQLUSMALLINT>(i + 1), cType, value, bytes, indicator))) {
      failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver refused a column's binding");
      return false;
    }
  }
  return true;
}

bool OdbcRecordset::FetchLocked(Failure& failure) {
  FRowInBlock = 0;
  FFetched = 0;
  if (FColumns.empty()) {  // a statement without a result: no rows
    FEof = true;
    return true;
  }
  const SQLRETURN rc = SQLFetch(FStatement);
  if (rc == SQL_NO_DATA) {
    FEof = true;
    return true;
  }
  if (!SQL_SUCCEEDED(rc)) {
    // A failed fetch ends the set: what is past the failure cannot be read.
    FEof = true;
    failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not fetch the next rows");
    return false;
  }
  FEof = false;
  if (FRowByRow) {
    FFetched = 1;
    return ReadRowLocked(failure);
  }
  if (FFetched == 0) FEof = true;
  return true;
}

bool OdbcRecordset::ReadWholeLocked(Column& column, std::size_t number, Failure& failure) {
  column.Whole.clear();
  column.WholeNull = false;
  column.WholeRow = FRowNumber;
  char16_t chunk[2048];
  for (;;) {
    SQLLEN length = 0;
    const SQLRETURN rc = SQLGetData(FStatement, static_cast<SQLUSMALLINT>(number + 1), SQL_C_WCHAR, chunk,
                                    sizeof chunk, &length);
    if (rc == SQL_NO_DATA) return true;
    if (!SQL_SUCCEEDED(rc)) {
      column.WholeRow = -1;
      failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a long text");
      return false;
    }
    if (length == SQL_NULL_DATA) {
      column.WholeNull = true;
      return true;
    }
    constexpr std::size_t kChunkUnits = sizeof chunk / sizeof chunk[0] - 1;  // past the terminator
    // More to come: the chunk is full (its length is what is left in all).
    if (rc == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) > kChunkUnits * 2)) {
      column.Whole.append(chunk, kChunkUnits);
      continue;
    }
    column.Whole.append(chunk, static_cast<std::size_t>(length) / sizeof(char16_t));
    return true;
  }
}

bool OdbcRecordset::ReadRowLocked(Failure& failure) {
  unsigned char* row = CurrentRow();
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    Column& column = FColumns[i];
    auto* indicator = reinterpret_cast<SQLLEN*>(row + column.IndicatorOffset);
    if (column.Store == Storage::Text) {
      if (!ReadWholeLocked(column, i, failure)) return false;
      *indicator = column.WholeNull ? SQL_NULL_DATA : 0;
      continue;
    }
    const SQLSMALLINT cType = column.Store == Storage::Integer ? SQL_C_SBIGINT : SQL_C_DOUBLE;
    if (!SQL_SUCCEEDED(SQLGetData(FStatement, static_cast<SQLUSMALLINT>(i + 1), cType, row + column.ValueOffset, 8,
                                  indicator))) {
      failure = OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a value");
      return false;
    }
  }
  return true;
}

HRESULT OdbcRecordset::Fail(HRESULT code, std::string description) {
  return Report(FHost, {code, std::move(description)});
}

HRESULT OdbcRecordset::Fail(const Failure& failure) { return Report(FHost, failure); }

HRESULT OdbcRecordset::NullPointer() { return Fail(E_POINTER, "Invalid pointer: a required argument is null"); }

HRESULT OdbcRecordset::CheckOpen() {
  return FStatement ? S_OK : Fail(kRecordsetClosed, "Operation is not allowed when the object is closed");
}

HRESULT OdbcRecordset::CheckIndex(std::int32_t index) {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (index < 0 || static_cast<std::size_t>(index) >= FColumns.size()) {
    return Fail(E_INVALIDARG, "field index " + std::to_string(index) + " is out of range: the record set has " +
                                  std::to_string(FColumns.size()) + " fields");
  }
  return S_OK;
}

HRESULT OdbcRecordset::GetState(std::int32_t* state) {
  if (state == nullptr) return NullPointer();
  *state = FStatement ? kStateOpen : kStateClosed;
  return S_OK;
}

HRESULT OdbcRecordset::GetFieldCount(std::int32_t* count) {
  if (count == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *count = static_cast<std::int32_t>(FColumns.size());
  return S_OK;
}

HRESULT OdbcRecordset::GetFieldName(std::int32_t index, std::u16string* name) {
  if (name == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *name = FColumns[static_cast<std::size_t>(index)].Name;
  return S_OK;
}

HRESULT OdbcRecordset::GetFieldKind(std::int32_t index, FieldKind* kind) {
  if (kind == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *kind = FColumns[static_cast<std::size_t>(index)].Kind;
  return S_OK;
}

HRESULT OdbcRecordset::MoveFirst() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FOnFirstRow) return S_OK;
  // The cursor only goes forward: the query runs again, as SQLite's statement is
  // reset and stepped again.
  std::lock_guard lock(FConnection->Mutex());
  SQLFreeStmt(FStatement, SQL_CLOSE);
  for (Column& column : FColumns) column.WholeRow = -1;
  FRowNumber = 0;
  FOnFirstRow = true;
  Failure failure;
  const SQLRETURN rc = SQLExecDirectW(FStatement, ToSql(const_cast<char16_t*>(FText.data())),
                                      static_cast<SQLINTEGER>(FText.size()));
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    FEof = true;
    return Fail(OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not run the query again"));
  }
  if (!FetchLocked(failure)) return Fail(failure);
  return S_OK;
}

HRESULT OdbcRecordset::MoveNext() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FEof) return Fail(kNoCurrentRow, kNoCurrentRowText);
  FOnFirstRow = false;
  ++FRowNumber;
  if (FRowInBlock + 1 < FFetched) {
    ++FRowInBlock;
    return S_OK;
  }
  std::lock_guard lock(FConnection->Mutex());
  Failure failure;
  if (!FetchLocked(failure)) return Fail(failure);
  return S_OK;
}

HRESULT OdbcRecordset::GetEOF(bool* eof) {
  if (eof == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *eof = FEof;
  return S_OK;
}

HRESULT OdbcRecordset::GetValue(std::int32_t index, Variant* value) {
  if (value == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  if (FEof) return Fail(kNoCurrentRow, kNoCurrentRowText);
  Column& column = FColumns[static_cast<std::size_t>(index)];
  const unsigned char* row = CurrentRow();
  if (!FRowByRow && FRowStatus[FRowInBlock] == SQL_ROW_ERROR) {
    return Fail(kOdbcFailed, "the driver could not read row " + std::to_string(FRowNumber + 1) + " of the result");
  }
  SQLLEN indicator = 0;
  std::memcpy(&indicator, row + column.IndicatorOffset, sizeof indicator);
  if (indicator == SQL_NULL_DATA) {
    *value = Variant::Null();
    return S_OK;
  }
  switch (column.Store) {
    case Storage::Integer: {
      std::int64_t v = 0;
      std::memcpy(&v, row + column.ValueOffset, sizeof v);
      *value = Variant::FromInteger(v);
      return S_OK;
    }
    case Storage::Real: {
      double v = 0;
      std::memcpy(&v, row + column.ValueOffset, sizeof v);
      *value = Variant::FromReal(v);
      return S_OK;
    }
    case Storage::Text:
      break;
  }
  const std::size_t capacity = (column.TextUnits - 1) * sizeof(SQLWCHAR);
  const bool whole = indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) <= capacity;
  if (!FRowByRow && whole) {
    *value = Variant::FromWideText(std::u16string_view(reinterpret_cast<const char16_t*>(row + column.ValueOffset),
                                                       static_cast<std::size_t>(indicator) / sizeof(char16_t)));
    return S_OK;
  }
  if (column.WholeRow != FRowNumber) {
    // Longer than its binding: the rest is read now, never cut off.
    std::lock_guard lock(FConnection->Mutex());
    const SQLRETURN rc = SQLSetPos(FStatement, static_cast<SQLSETPOSIROW>(FRowInBlock + 1), SQL_POSITION,
                                   SQL_LOCK_NO_CHANGE);
    Failure failure;
    if (!SQL_SUCCEEDED(rc)) return Fail(OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a long text"));
    if (!ReadWholeLocked(column, static_cast<std::size_t>(index), failure)) return Fail(failure);
  }
  *value = column.WholeNull ? Variant::Null() : Variant::FromWideText(column.Whole);
  return S_OK;
}

HRESULT OdbcRecordset::Close() {
  // Closing twice is harmless, so a client may close in its own clean-up too.
  if (FStatement == nullptr) return S_OK;
  {
    std::lock_guard lock(FConnection->Mutex());
    if (FConnection->OwnedByThisProcess()) SQLFreeHandle(SQL_HANDLE_STMT, FStatement);
    FStatement = nullptr;
  }
  FConnection.reset();
  return S_OK;
}

}  // namespace velmora::server
