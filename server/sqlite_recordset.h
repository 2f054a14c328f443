#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/sqlite_connection.h"
#include "server/failure.h"
#include "service/module_abi.h"
#include "service/recordset.h"

namespace velmora::server {

// A query's rows as an IRecordset, read from the statement as the client moves:
// no row is copied, so a million rows cost no more memory than one. Holds the
// statement and a share of the connection until Close or its last Release.
class SqliteRecordset final : public ComObject<IRecordset> {
 public:
  // Prepares text, which must hold exactly one statement, and steps to its first
  // row. nullptr, with failure set, when either fails.
  static ComPtr<IRecordset> Open(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host,
                                 std::u16string_view text, Failure& failure);

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
  SqliteRecordset(std::shared_ptr<SqliteConnection> connection, const VelmoraHostApi& host, sqlite3_stmt* statement);
  ~SqliteRecordset() override;

  // Steps the statement; the caller holds the connection's mutex.
  HRESULT StepLocked();
  // The failure for a call on a closed set or an index that names no field.
  HRESULT CheckOpen();
  HRESULT CheckIndex(std::int32_t index);
  HRESULT NullPointer();
  HRESULT Fail(HRESULT code, std::string description);

  std::shared_ptr<SqliteConnection> FConnection;  // empty once closed
  const VelmoraHostApi& FHost;
  sqlite3_stmt* FStatement;                 // owned; nullptr once closed
  std::vector<std::u16string> FNames;
  std::vector<FieldKind> FKinds;
  bool FEof = false;
  bool FOnFirstRow = true;  // no move since the first step: MoveFirst has nothing to do
};

}  // namespace velmora::server
