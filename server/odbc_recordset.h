#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/odbc_connection.h"
#include "service/module_abi.h"
#include "service/recordset.h"

namespace velmora::server {

// A query's rows as an IRecordset, fetched from the driver in blocks of rows bound
// row-wise into one buffer, so that a million rows are a few thousand calls and
// never all in memory at once. A text longer than its bound width is read whole by
// SQLGetData when it is asked for. A driver that cannot read single rows of a
// block that way is read a row at a time. Holds the statement and a share of the
// connection until Close or its last Release.
class OdbcRecordset final : public ComObject<IRecordset> {
 public:
  // Runs statement (one query, already in the server's quoting) and fetches its
  // first block. nullptr, with failure set, when either fails; lost is then set
  // when the connection turned out dead.
  static ComPtr<IRecordset> Open(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                                 std::u16string statement, Failure& failure, bool& lost);

  HRESULT GetState(std::int32_t* state) override;
  HRESULT GetFieldCount(std::int32_t* count) override;
  HRESULT GetFieldName(std::int32_t index, std::u16string* name) override;
  HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) override;
  HRESULT MoveFirst() override;
  HRESULT MoveNext() override;
  HRESULT GetEOF(bool* eof) override;
  HRESULT GetValue(std::int32_t index, Variant* value) override;
  HRESULT Close() override;

 private:
  // How a column's values are fetched.
  enum class Storage : std::uint8_t { Integer, Real, Text };
  struct Column {
    std::u16string Name;
    FieldKind Kind = FieldKind::Other;
    Storage Store = Storage::Text;
    std::size_t ValueOffset = 0;      // in a row of the buffer
    std::size_t IndicatorOffset = 0;  // the SQLLEN length or SQL_NULL_DATA
    std::size_t TextUnits = 0;        // bound width of a text, terminator included
    std::u16string Whole;             // a text read by SQLGetData, for WholeRow
    std::int64_t WholeRow = -1;       // the row Whole belongs to; -1: none
    bool WholeNull = false;
  };

  OdbcRecordset(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host, SQLHSTMT statement,
                std::u16string text);
  ~OdbcRecordset() override;

  // Describes the result's columns and binds them; false, with failure set, when
  // the driver refuses.
  bool Prepare(Failure& failure);
  // Fetches the next block (the first after an execution); the caller holds the
  // connection's mutex. Sets FEof at the end.
  bool FetchLocked(Failure& failure);
  // Reads column's whole text of the current row by SQLGetData; the caller holds
  // the connection's mutex.
  bool ReadWholeLocked(Column& column, std::size_t number, Failure& failure);
  // In row-at-a-time reading: every value of the current row, by SQLGetData.
  bool ReadRowLocked(Failure& failure);
  unsigned char* CurrentRow() { return FBuffer.data() + FRowInBlock * FRowSize; }

  HRESULT CheckOpen();
  HRESULT CheckIndex(std::int32_t index);
  HRESULT NullPointer();
  HRESULT Fail(HRESULT code, std::string description);
  HRESULT Fail(const Failure& failure);

  std::shared_ptr<OdbcConnection> FConnection;  // empty once closed
  const VelmoraHostApi& FHost;
  SQLHSTMT FStatement;                          // owned; nullptr once closed
  const std::u16string FText;                   // run again by MoveFirst
  std::vector<Column> FColumns;
  bool FRowByRow = false;                       // the driver cannot read rows of a block by SQLGetData
  std::size_t FRowSize = 0;
  SQLULEN FBlockRows = 1;
  std::vector<unsigned char> FBuffer;           // FBlockRows rows of FRowSize bytes
  std::vector<SQLUSMALLINT> FRowStatus;
  SQLULEN FFetched = 0;                         // rows in the current block
  std::size_t FRowInBlock = 0;
  std::int64_t FRowNumber = 0;                  // of the current row, from 0
  bool FEof = false;
  bool FOnFirstRow = true;  // no move since the query ran: MoveFirst has nothing to do
};

}  // namespace velmora::server
