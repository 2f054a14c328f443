#pragma once
// Our IRecordset over an ADO _Recordset (Windows only).

#include "service/com_win32.h"
#include "service/recordset.h"

namespace velmora::win32 {

// The record set of object if it offers ADO's _Recordset, else empty.
ComPtr<IRecordset> WrapAdoRecordset(::IUnknown* object);

// A field value as ADO hands it out, as our Variant: nulls; integers, booleans and
// whole decimals as Integer (the data layer range-checks them); reals, currency and
// fractional decimals as Real; text as WideText borrowed from value. Any other kind
// is converted to text in value itself. Fails with DISP_E_TYPEMISMATCH where the
// system cannot convert it.
HRESULT ToVariant(VARIANT& value, Variant* result);

}  // namespace velmora::win32
