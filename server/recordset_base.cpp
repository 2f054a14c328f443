#include "server/recordset_base.h"

namespace velmora::server {
namespace {

constexpr const char* kNoCurrentRowText = "Either BOF or EOF is True: there is no current record";

}  // namespace

HRESULT RecordsetBase::NullPointer() { return Fail({E_POINTER, "Invalid pointer: a required argument is null"}); }

HRESULT RecordsetBase::CheckOpen() {
  return IsOpen() ? S_OK : Fail({kRecordsetClosed, "Operation is not allowed when the object is closed"});
}

HRESULT RecordsetBase::CheckIndex(std::int32_t index) {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (index < 0 || static_cast<std::size_t>(index) >= FFields.size()) {
    return Fail({E_INVALIDARG, "field index " + std::to_string(index) + " is out of range: the record set has " +
                                   std::to_string(FFields.size()) + " fields"});
  }
  return S_OK;
}

HRESULT RecordsetBase::GetState(std::int32_t* state) {
  if (state == nullptr) return NullPointer();
  *state = IsOpen() ? kStateOpen : kStateClosed;
  return S_OK;
}

HRESULT RecordsetBase::GetFieldCount(std::int32_t* count) {
  if (count == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *count = static_cast<std::int32_t>(FFields.size());
  return S_OK;
}

HRESULT RecordsetBase::GetFieldName(std::int32_t index, std::u16string* name) {
  if (name == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *name = FFields[static_cast<std::size_t>(index)].Name;
  return S_OK;
}

HRESULT RecordsetBase::GetFieldKind(std::int32_t index, FieldKind* kind) {
  if (kind == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  *kind = FFields[static_cast<std::size_t>(index)].Kind;
  return S_OK;
}

HRESULT RecordsetBase::MoveFirst() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FOnFirstRow) return S_OK;
  FOnFirstRow = true;
  if (Status status = Rewind(); !status) return Fail(status);
  return S_OK;
}

HRESULT RecordsetBase::MoveNext() {
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  if (FEof) return Fail({kNoCurrentRow, kNoCurrentRowText});
  FOnFirstRow = false;
  if (Status status = Advance(); !status) return Fail(status);
  return S_OK;
}

HRESULT RecordsetBase::GetEOF(bool* eof) {
  if (eof == nullptr) return NullPointer();
  if (const HRESULT hr = CheckOpen(); Failed(hr)) return hr;
  *eof = FEof;
  return S_OK;
}

HRESULT RecordsetBase::GetValue(std::int32_t index, Variant* value) {
  if (value == nullptr) return NullPointer();
  if (const HRESULT hr = CheckIndex(index); Failed(hr)) return hr;
  if (FEof) return Fail({kNoCurrentRow, kNoCurrentRowText});
  if (Status status = Read(static_cast<std::size_t>(index), *value); !status) return Fail(status);
  return S_OK;
}

}  // namespace velmora::server
