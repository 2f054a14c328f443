#include "server/odbc_recordset.h"

#include <algorithm>
#include <cstring>

#include "server/odbc_session.h"

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

}  // namespace

Status OdbcRecordset::Open(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                           const OdbcBounds& bounds, std::u16string statement, ComPtr<IRecordset>& recordset) {
  std::unique_lock lock(connection->Mutex());
  OdbcCall call(connection, bounds, TextUse::Query);
  if (Status status = call.Begin(); !status) return status;
  OdbcStatement handle(connection);
  if (handle.Handle() == SQL_NULL_HSTMT) {
    Status failure = OdbcFailure(SQL_HANDLE_DBC, connection->Handle(), "the driver could not make a statement handle");
    failure.ConnectionLost = connection->Dead();
    return failure;
  }
  if (Status status = call.Run(handle.Handle(), statement); !status) return status;
  auto* created = new OdbcRecordset(connection, host, handle.Release(), std::move(statement), bounds);
  ComPtr<IRecordset> opened = ComPtr<IRecordset>::Attach(created);
  Status status = created->Prepare();
  if (status) status = created->FetchLocked();
  // The rows are the driver's now; the read-only transaction has done its work.
  call.Finish();
  if (!status) {
    status.ConnectionLost = connection->Dead();
    lock.unlock();
    opened->Close();
    return status;
  }
  recordset = std::move(opened);
  return Status::Ok();
}

OdbcRecordset::OdbcRecordset(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                             SQLHSTMT statement, std::u16string text, const OdbcBounds& bounds)
    : RecordsetBase(host),
      FConnection(std::move(connection)),
      FStatement(statement),
      FText(std::move(text)),
      FBounds(bounds) {}

OdbcRecordset::~OdbcRecordset() { Close(); }

Status OdbcRecordset::Prepare() {
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(FStatement, &count))) {
    return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not describe the result");
  }
  FRowByRow = !FConnection->BlockFetch();
  FColumns.resize(static_cast<std::size_t>(count));
  FFields.resize(static_cast<std::size_t>(count));
  std::size_t offset = 0;
  for (SQLUSMALLINT i = 0; i < static_cast<SQLUSMALLINT>(count); ++i) {
    Column& column = FColumns[i];
    Field& field = FFields[i];
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(FStatement, static_cast<SQLUSMALLINT>(i + 1), name, 256, &nameLength, &type,
                                       &size, &digits, &nullable))) {
      return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not describe the result");
    }
    field.Name.assign(reinterpret_cast<const char16_t*>(name), std::min<std::size_t>(nameLength, 255));
    switch (type) {
      case SQL_BIT:
      case SQL_TINYINT:
      case SQL_SMALLINT:
      case SQL_INTEGER:
      case SQL_BIGINT:
        field.Kind = FieldKind::Integer;
        column.Store = Storage::Integer;
        break;
      case SQL_NUMERIC:
      case SQL_DECIMAL:
        // Whole numbers stay exact; anything with a fraction is a real.
        field.Kind = digits == 0 ? FieldKind::Integer : FieldKind::Real;
        column.Store = digits == 0 ? Storage::Integer : Storage::Real;
        break;
      case SQL_REAL:
      case SQL_FLOAT:
      case SQL_DOUBLE:
        field.Kind = FieldKind::Real;
        column.Store = Storage::Real;
        break;
      case SQL_CHAR:
      case SQL_VARCHAR:
      case SQL_LONGVARCHAR:
      case SQL_WCHAR:
      case SQL_WVARCHAR:
      case SQL_WLONGVARCHAR:
        field.Kind = FieldKind::Text;
        column.Store = Storage::Text;
        break;
      default:
        // Dates, binary and the like arrive as the driver writes them as text.
        field.Kind = FieldKind::Other;
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
  if (FRowByRow) return Status::Ok();

  const auto set = [&](SQLINTEGER attribute, SQLULEN value) {
    return SQL_SUCCEEDED(SQLSetStmtAttrW(FStatement, attribute, reinterpret_cast<SQLPOINTER>(value), 0));
  };
  const auto setPointer = [&](SQLINTEGER attribute, void* pointer) {
    return SQL_SUCCEEDED(SQLSetStmtAttrW(FStatement, attribute, pointer, 0));
  };
  if (!set(SQL_ATTR_ROW_BIND_TYPE, FRowSize) || !set(SQL_ATTR_ROW_ARRAY_SIZE, FBlockRows) ||
      !setPointer(SQL_ATTR_ROWS_FETCHED_PTR, &FFetched) || !setPointer(SQL_ATTR_ROW_STATUS_PTR, FRowStatus.data())) {
    return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver refused to fetch rows in blocks");
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
      return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver refused a column's binding");
    }
  }
  return Status::Ok();
}

Status OdbcRecordset::FetchLocked() {
  FRowInBlock = 0;
  FFetched = 0;
  if (FColumns.empty()) {  // a statement without a result: no rows
    FEof = true;
    return Status::Ok();
  }
  const SQLRETURN rc = SQLFetch(FStatement);
  if (rc == SQL_NO_DATA) {
    FEof = true;
    return Status::Ok();
  }
  if (!SQL_SUCCEEDED(rc)) {
    // A failed fetch ends the set: what is past the failure cannot be read.
    FEof = true;
    return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not fetch the next rows");
  }
  FEof = false;
  if (FRowByRow) {
    FFetched = 1;
    return ReadRowLocked();
  }
  if (FFetched == 0) FEof = true;
  return Status::Ok();
}

Status OdbcRecordset::ReadWholeLocked(Column& column, std::size_t number) {
  column.Whole.clear();
  column.WholeNull = false;
  column.WholeRow = FRowNumber;
  char16_t chunk[2048];
  for (;;) {
    SQLLEN length = 0;
    const SQLRETURN rc = SQLGetData(FStatement, static_cast<SQLUSMALLINT>(number + 1), SQL_C_WCHAR, chunk,
                                    sizeof chunk, &length);
    if (rc == SQL_NO_DATA) return Status::Ok();
    if (!SQL_SUCCEEDED(rc)) {
      column.WholeRow = -1;
      return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a long text");
    }
    if (length == SQL_NULL_DATA) {
      column.WholeNull = true;
      return Status::Ok();
    }
    constexpr std::size_t kChunkUnits = sizeof chunk / sizeof chunk[0] - 1;  // past the terminator
    // More to come: the chunk is full (its length is what is left in all).
    if (rc == SQL_SUCCESS_WITH_INFO && (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) > kChunkUnits * 2)) {
      column.Whole.append(chunk, kChunkUnits);
      continue;
    }
    column.Whole.append(chunk, static_cast<std::size_t>(length) / sizeof(char16_t));
    return Status::Ok();
  }
}

Status OdbcRecordset::ReadRowLocked() {
  unsigned char* row = CurrentRow();
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    Column& column = FColumns[i];
    auto* indicator = reinterpret_cast<SQLLEN*>(row + column.IndicatorOffset);
    if (column.Store == Storage::Text) {
      if (Status status = ReadWholeLocked(column, i); !status) return status;
      *indicator = column.WholeNull ? SQL_NULL_DATA : 0;
      continue;
    }
    const SQLSMALLINT cType = column.Store == Storage::Integer ? SQL_C_SBIGINT : SQL_C_DOUBLE;
    if (!SQL_SUCCEEDED(SQLGetData(FStatement, static_cast<SQLUSMALLINT>(i + 1), cType, row + column.ValueOffset, 8,
                                  indicator))) {
      return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a value");
    }
  }
  return Status::Ok();
}

Status OdbcRecordset::Rewind() {
  // The cursor only goes forward: the query runs again, as SQLite's statement is
  // reset and stepped again, as a call of its own.
  std::lock_guard lock(FConnection->Mutex());
  if (FConnection->GivenUp()) return {kOdbcConnectionFailed, "the connection of this record set was given up"};
  SQLFreeStmt(FStatement, SQL_CLOSE);
  for (Column& column : FColumns) column.WholeRow = -1;
  FRowNumber = 0;
  FEof = true;
  OdbcCall call(FConnection, FBounds, TextUse::Query);
  if (Status status = call.Begin(); !status) return status;
  if (Status status = call.Run(FStatement, FText); !status) return status;
  Status status = FetchLocked();
  call.Finish();
  return status;
}

Status OdbcRecordset::Advance() {
  ++FRowNumber;
  if (FRowInBlock + 1 < FFetched) {
    ++FRowInBlock;
    return Status::Ok();
  }
  std::lock_guard lock(FConnection->Mutex());
  return FetchLocked();
}

Status OdbcRecordset::Read(std::size_t index, Variant& value) {
  Column& column = FColumns[index];
  const unsigned char* row = CurrentRow();
  if (!FRowByRow && FRowStatus[FRowInBlock] == SQL_ROW_ERROR) {
    return {kOdbcFailed, "the driver could not read row " + std::to_string(FRowNumber + 1) + " of the result"};
  }
  SQLLEN indicator = 0;
  std::memcpy(&indicator, row + column.IndicatorOffset, sizeof indicator);
  if (indicator == SQL_NULL_DATA) {
    value = Variant::Null();
    return Status::Ok();
  }
  switch (column.Store) {
    case Storage::Integer: {
      std::int64_t v = 0;
      std::memcpy(&v, row + column.ValueOffset, sizeof v);
      value = Variant::FromInteger(v);
      return Status::Ok();
    }
    case Storage::Real: {
      double v = 0;
      std::memcpy(&v, row + column.ValueOffset, sizeof v);
      value = Variant::FromReal(v);
      return Status::Ok();
    }
    case Storage::Text:
      break;
  }
  const std::size_t capacity = (column.TextUnits - 1) * sizeof(SQLWCHAR);
  const bool whole = indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) <= capacity;
  if (!FRowByRow && whole) {
    value = Variant::FromWideText(std::u16string_view(reinterpret_cast<const char16_t*>(row + column.ValueOffset),
                                                      static_cast<std::size_t>(indicator) / sizeof(char16_t)));
    return Status::Ok();
  }
  if (column.WholeRow != FRowNumber) {
    // Longer than its binding: the rest is read now, never cut off.
    std::lock_guard lock(FConnection->Mutex());
    const SQLRETURN rc = SQLSetPos(FStatement, static_cast<SQLSETPOSIROW>(FRowInBlock + 1), SQL_POSITION,
                                   SQL_LOCK_NO_CHANGE);
    if (!SQL_SUCCEEDED(rc)) return OdbcFailure(SQL_HANDLE_STMT, FStatement, "the driver could not read a long text");
    if (Status status = ReadWholeLocked(column, index); !status) return status;
  }
  value = column.WholeNull ? Variant::Null() : Variant::FromWideText(column.Whole);
  return Status::Ok();
}

HRESULT OdbcRecordset::Close() {
  // Closing twice is harmless, so a client may close in its own clean-up too.
  if (FStatement == nullptr) return S_OK;
  {
    std::lock_guard lock(FConnection->Mutex());
    // A handle of a connection given up may still be in a driver's hands.
    if (FConnection->OwnedByThisProcess() && !FConnection->GivenUp()) SQLFreeHandle(SQL_HANDLE_STMT, FStatement);
    FStatement = nullptr;
  }
  FConnection.reset();
  return S_OK;
}

}  // namespace velmora::server
