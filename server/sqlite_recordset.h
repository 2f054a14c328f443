#pragma once

#include <sqlite3.h>

#include <memory>
#include <string_view>

#include "server/failure.h"
#include "server/recordset_base.h"
#include "server/sqlite_connection.h"

namespace velmora::server {

// A query's rows as an IRecordset, read from the statement as the client moves:
// no row is copied, so a million rows cost no more memory than one. Holds the
// statement and a share of the connection until Close or its last Release.
class SqliteRecordset final : public RecordsetBase {
 public:
  // Prepares text, which must hold exactly one statement, and steps to its first
  // row into recordset; fails when either fails.
  static Status Open(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                     std::u16string_view text, ComPtr<IRecordset>& recordset);

  HRESULT Close() override;

 private:
  SqliteRecordset(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host, SqliteStatement statement);
  ~SqliteRecordset() override;

  bool IsOpen() const override { return FStatement != nullptr; }
  Status Rewind() override;
  Status Advance() override;
  Status Read(std::size_t index, Variant& value) override;

  // Steps the statement; the caller holds the connection's mutex.
  Status StepLocked();

  std::shared_ptr<SqliteConnection> FConnection;  // empty once closed
  SqliteStatement FStatement;                     // empty once closed
};

}  // namespace velmora::server
