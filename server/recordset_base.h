#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/failure.h"
#include "service/module_abi.h"
#include "service/recordset.h"

namespace velmora::server {

// What every record set of the service does the same way, whatever reads its rows:
// the checks of pointers, indexes and state, the fields' names and kinds, the end
// of the rows and the failures the client reads. A backend's set reads the rows.
class RecordsetBase : public ComObject<IRecordset> {
 public:
  HRESULT GetState(std::int32_t* state) final;
  HRESULT GetFieldCount(std::int32_t* count) final;
  HRESULT GetFieldName(std::int32_t index, std::u16string* name) final;
  HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) final;
  HRESULT MoveFirst() final;
  HRESULT MoveNext() final;
  HRESULT GetEOF(bool* eof) final;
  HRESULT GetValue(std::int32_t index, Variant* value) final;

 protected:
  struct Field {
    std::u16string Name;
    FieldKind Kind = FieldKind::Other;
  };

  explicit RecordsetBase(const VelmoraHostApi& host) : FHost(host) {}
  ~RecordsetBase() override = default;

  // False once closed.
  virtual bool IsOpen() const = 0;
  // Back to the first row, which is not the current one.
  virtual Status Rewind() = 0;
  // On to the next row; the current one is not the last (FEof is false).
  virtual Status Advance() = 0;
  // The value of field index (in range) of the current row.
  virtual Status Read(std::size_t index, Variant& value) = 0;

  HRESULT Fail(const Status& status) { return Report(FHost, status); }

  const VelmoraHostApi& FHost;
  std::vector<Field> FFields;
  bool FEof = false;

 private:
  HRESULT CheckOpen();
  HRESULT CheckIndex(std::int32_t index);
  HRESULT NullPointer();

  bool FOnFirstRow = true;  // no move since the query ran: MoveFirst has nothing to do
};

}  // namespace velmora::server
