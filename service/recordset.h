#pragma once

#include <cstdint>
#include <string>

#include "service/com.h"
#include "service/variant.h"

namespace velmora {

// The record set interface in which query results arrive (the ADO _Recordset role):
// an open, forward-readable set of rows with named fields.
struct IRecordset : IUnknown {
  static constexpr Guid IID = {0x00000555, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

  enum class FieldKind : std::int32_t { Integer, Real, Text, Other };
  static constexpr std::int32_t kStateClosed = 0;
  static constexpr std::int32_t kStateOpen = 1;

  virtual HRESULT GetState(std::int32_t* state) = 0;
  virtual HRESULT GetFieldCount(std::int32_t* count) = 0;
  virtual HRESULT GetFieldName(std::int32_t index, std::u16string* name) = 0;
  // The declared kind of a field; values may still arrive as any Variant kind.
  virtual HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) = 0;
  virtual HRESULT MoveFirst() = 0;
  virtual HRESULT MoveNext() = 0;
  // True past the last row, and at once for an empty set.
  virtual HRESULT GetEOF(bool* eof) = 0;
  // The current row's value of a field; text is borrowed until the next move.
  virtual HRESULT GetValue(std::int32_t index, Variant* value) = 0;
  virtual HRESULT Close() = 0;

 protected:
  ~IRecordset() = default;
};

}  // namespace velmora
