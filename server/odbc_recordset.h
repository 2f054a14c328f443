#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/odbc_connection.h"
#include "server/recordset_base.h"
#include "service/module_abi.h"
#include "service/recordset.h"

namespace velmora::server {

// A query's rows as an IRecordset, fetched from the driver in blocks of rows bound
// row-wise into one buffer, so that a million rows are a few thousand calls and
// never all in memory at once. A text longer than its bound width is read whole by
// SQLGetData when it is asked for. A driver that cannot read single rows of a
// block that way is read a row at a time. Holds the statement and a share of the
// connection until Close or its last Release.
class OdbcRecordset final : public RecordsetBase {
 public:
  // Runs statement (one query, already in the server's quoting) as a read-only
  // call within bounds and fetches its first block into recordset. Fails when
  // either fails, with ConnectionLost set when the connection turned out dead.
  static Status Open(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host,
                     const OdbcBounds& bounds, std::u16string statement, ComPtr<IRecordset>& recordset);

  HRESULT Close() override;

 private:
  // How a column's values are fetched.
  enum class Storage : std::uint8_t { Integer, Real, Text };
  // A field's reading; its name and kind are the base's field of the same index.
  struct Column {
    Storage Store = Storage::Text;
    std::size_t ValueOffset = 0;      // in a row of the buffer
    std::size_t IndicatorOffset = 0;  // the SQLLEN length or SQL_NULL_DATA
    std::size_t TextUnits = 0;        // bound width of a text, terminator included
    std::u16string Whole;             // a text read by SQLGetData, for WholeRow
    std::int64_t WholeRow = -1;       // the row Whole belongs to; -1: none
    bool WholeNull = false;
  };

  OdbcRecordset(std::shared_ptr<OdbcConnection> connection, const VelmoraHostApi& host, SQLHSTMT statement,
                std::u16string text, const OdbcBounds& bounds);
  ~OdbcRecordset() override;

  bool IsOpen() const override { return FStatement != nullptr; }
  Status Rewind() override;
  Status Advance() override;
  Status Read(std::size_t index, Variant& value) override;

  // Describes the result's columns and binds them; fails when the driver refuses.
  Status Prepare();
  // Fetches the next block (the first after an execution); the caller holds the
  // connection's mutex. Sets FEof at the end.
  Status FetchLocked();
  // Reads column's whole text of the current row by SQLGetData; the caller holds
  // the connection's mutex.
  Status ReadWholeLocked(Column& column, std::size_t number);
  // In row-at-a-time reading: every value of the current row, by SQLGetData.
  Status ReadRowLocked();
  unsigned char* CurrentRow() { return FBuffer.data() + FRowInBlock * FRowSize; }

  std::shared_ptr<OdbcConnection> FConnection;  // empty once closed
  SQLHSTMT FStatement;                          // owned; nullptr once closed
  const std::u16string FText;                   // run again by MoveFirst
  const OdbcBounds FBounds;
  std::vector<Column> FColumns;
  bool FRowByRow = false;                       // the driver cannot read rows of a block by SQLGetData
  std::size_t FRowSize = 0;
  SQLULEN FBlockRows = 1;
  std::vector<unsigned char> FBuffer;           // FBlockRows rows of FRowSize bytes
  std::vector<SQLUSMALLINT> FRowStatus;
  SQLULEN FFetched = 0;                         // rows in the current block
  std::size_t FRowInBlock = 0;
  std::int64_t FRowNumber = 0;                  // of the current row, from 0
};

}  // namespace velmora::server
