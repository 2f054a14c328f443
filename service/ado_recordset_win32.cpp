#include "service/ado_recordset_win32.h"

#include <limits>
#include <vector>

#include "service/ado_win32.h"

namespace velmora::win32 {
namespace {

IRecordset::FieldKind KindOf(long type) {
  switch (type) {
    case ado::adTinyInt:
    case ado::adSmallInt:
    case ado::adInteger:
    case ado::adBigInt:
    case ado::adUnsignedTinyInt:
    case ado::adUnsignedSmallInt:
    case ado::adUnsignedInt:
    case ado::adUnsignedBigInt:
    case ado::adBoolean:
      return IRecordset::FieldKind::Integer;
    case ado::adSingle:
    case ado::adDouble:
    case ado::adCurrency:
      return IRecordset::FieldKind::Real;
    case ado::adBSTR:
    case ado::adChar:
    case ado::adWChar:
    case ado::adVarChar:
    case ado::adLongVarChar:
    case ado::adVarWChar:
    case ado::adLongVarWChar:
      return IRecordset::FieldKind::Text;
    default:
      // Decimals may be whole or not, dates are neither: their values decide.
      return IRecordset::FieldKind::Other;
  }
}

VARIANT IndexVariant(std::int32_t index) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = index;
  return v;
}

// The ADO record set as our IRecordset. Field objects are fetched once: ADO's
// follow the current row. Values are held per field until the next move, which is
// as long as a borrowed text must live.
class AdoRecordset final : public ComObject<IRecordset> {
 public:
  explicit AdoRecordset(NativePtr<> recordset) : FRecordset(std::move(recordset)) {}

  HRESULT GetState(std::int32_t* state) override {
    if (state == nullptr) return E_POINTER;
    long adoState = 0;
    const HRESULT hr = CallSlot(FRecordset.Get(), ado::recordset::get_State, &adoState);
    if (Failed(hr)) return hr;
    *state = (adoState & ado::adStateOpen) ? kStateOpen : kStateClosed;
    return S_OK;
  }

  HRESULT GetFieldCount(std::int32_t* count) override {
    if (count == nullptr) return E_POINTER;
    if (const HRESULT hr = LoadFields(); Failed(hr)) return hr;
    *count = static_cast<std::int32_t>(FFields.size());
    return S_OK;
  }

  HRESULT GetFieldName(std::int32_t index, std::u16string* name) override {
    if (name == nullptr) return E_POINTER;
    ::IUnknown* field = nullptr;
    if (const HRESULT hr = FieldAt(index, &field); Failed(hr)) return hr;
    Bstr text;
    if (const HRESULT hr = CallSlot(field, ado::field::get_Name, text.Put()); Failed(hr)) return hr;
    *name = std::u16string(text.View());
    return S_OK;
  }

  HRESULT GetFieldKind(std::int32_t index, FieldKind* kind) override {
    if (kind == nullptr) return E_POINTER;
    ::IUnknown* field = nullptr;
    if (const HRESULT hr = FieldAt(index, &field); Failed(hr)) return hr;
    long type = ado::adEmpty;
    if (const HRESULT hr = CallSlot(field, ado::field::get_Type, &type); Failed(hr)) return hr;
    *kind = KindOf(type);
    return S_OK;
  }

  HRESULT MoveFirst() override {
    ClearValues();
    return CallSlot(FRecordset.Get(), ado::recordset::MoveFirst);
  }

  HRESULT MoveNext() override {
    ClearValues();
    return CallSlot(FRecordset.Get(), ado::recordset::MoveNext);
  }

  HRESULT GetEOF(bool* eof) override {
    if (eof == nullptr) return E_POINTER;
    VARIANT_BOOL value = VARIANT_FALSE;
    const HRESULT hr = CallSlot(FRecordset.Get(), ado::recordset::get_EOF, &value);
    if (Failed(hr)) return hr;
    *eof = value != VARIANT_FALSE;
    return S_OK;
  }

  HRESULT GetValue(std::int32_t index, Variant* value) override {
    if (value == nullptr) return E_POINTER;
    ::IUnknown* field = nullptr;
    if (const HRESULT hr = FieldAt(index, &field); Failed(hr)) return hr;
    VARIANT* slot = FValues[static_cast<std::size_t>(index)].Put();
    if (const HRESULT hr = CallSlot(field, ado::field::get_Value, slot); Failed(hr)) return hr;
    return ToVariant(*slot, value);
  }

  HRESULT Close() override {
    ClearValues();
    FFields.clear();
    FValues.clear();
    FFieldsLoaded = false;
    return CallSlot(FRecordset.Get(), ado::recordset::Close);
  }

 private:
  ~AdoRecordset() override = default;

  HRESULT LoadFields() {
    if (FFieldsLoaded) return S_OK;
    NativePtr<> fields;
    if (const HRESULT hr = CallSlot(FRecordset.Get(), ado::recordset::get_Fields, fields.Put()); Failed(hr)) return hr;
    if (!fields) return E_POINTER;
    long count = 0;
    if (const HRESULT hr = CallSlot(fields.Get(), ado::fields::get_Count, &count); Failed(hr)) return hr;
    std::vector<NativePtr<>> loaded;
    for (long i = 0; i < count; ++i) {
      NativePtr<> field;
      if (const HRESULT hr = CallSlot(fields.Get(), ado::fields::get_Item, IndexVariant(static_cast<std::int32_t>(i)),
                                      field.Put());
          Failed(hr)) {
        return hr;
      }
      if (!field) return E_POINTER;
      loaded.push_back(std::move(field));
    }
    FFields = std::move(loaded);
    FValues = std::vector<VariantValue>(FFields.size());
    FFieldsLoaded = true;
    return S_OK;
  }

  HRESULT FieldAt(std::int32_t index, ::IUnknown** field) {
    if (const HRESULT hr = LoadFields(); Failed(hr)) return hr;
    if (index < 0 || static_cast<std::size_t>(index) >= FFields.size()) return DISP_E_BADINDEX;
    *field = FFields[static_cast<std::size_t>(index)].Get();
    return S_OK;
  }

  void ClearValues() {
    for (VariantValue& value : FValues) value.Put();
  }

  NativePtr<> FRecordset;
  bool FFieldsLoaded = false;
  std::vector<NativePtr<>> FFields;
  std::vector<VariantValue> FValues;  // per field, what the last GetValue lent out
};

}  // namespace

ComPtr<IRecordset> WrapAdoRecordset(::IUnknown* object) {
  if (object == nullptr) return {};
  NativePtr<> recordset;
  const ::GUID iid = ToNative(ado::IID_Recordset);
  if (FAILED(object->QueryInterface(iid, recordset.PutVoid())) || !recordset) return {};
  return ComPtr<IRecordset>::Attach(new AdoRecordset(std::move(recordset)));
}

HRESULT ToVariant(VARIANT& value, Variant* result) {
  if (result == nullptr) return E_POINTER;
  if (V_VT(&value) & VT_BYREF) {
    // A reference to a value: hold the value itself instead.
    VARIANT copy;
    ::VariantInit(&copy);
    if (const HRESULT hr = ::VariantCopyInd(&copy, &value); FAILED(hr)) return hr;
    ::VariantClear(&value);
    value = copy;
  }
  switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
      *result = Variant::Null();
      return S_OK;
    case VT_I1: *result = Variant::FromInteger(V_I1(&value)); return S_OK;
    case VT_I2: *result = Variant::FromInteger(V_I2(&value)); return S_OK;
    case VT_I4: *result = Variant::FromInteger(V_I4(&value)); return S_OK;
    case VT_INT: *result = Variant::FromInteger(V_INT(&value)); return S_OK;
    case VT_I8: *result = Variant::FromInteger(V_I8(&value)); return S_OK;
    case VT_UI1: *result = Variant::FromInteger(V_UI1(&value)); return S_OK;
    case VT_UI2: *result = Variant::FromInteger(V_UI2(&value)); return S_OK;
    case VT_UI4: *result = Variant::FromInteger(V_UI4(&value)); return S_OK;
    case VT_UINT: *result = Variant::FromInteger(V_UINT(&value)); return S_OK;
    case VT_UI8: {
      const ULONGLONG v = V_UI8(&value);
      // Past the signed range it stays a number; the data layer refuses it by range.
      *result = v <= static_cast<ULONGLONG>(std::numeric_limits<std::int64_t>::max())
                    ? Variant::FromInteger(static_cast<std::int64_t>(v))
                    : Variant::FromReal(static_cast<double>(v));
      return S_OK;
    }
    case VT_BOOL:
      // As COM converts it: true is -1.
      *result = Variant::FromInteger(V_BOOL(&value) != VARIANT_FALSE ? -1 : 0);
      return S_OK;
    case VT_R4: *result = Variant::FromReal(V_R4(&value)); return S_OK;
    case VT_R8: *result = Variant::FromReal(V_R8(&value)); return S_OK;
    case VT_CY: *result = Variant::FromReal(static_cast<double>(V_CY(&value).int64) / 10000.0); return S_OK;
    case VT_DECIMAL: {
      const DECIMAL& d = V_DECIMAL(&value);
      if (d.scale == 0 && d.Hi32 == 0 && d.Lo64 <= static_cast<ULONGLONG>(std::numeric_limits<std::int64_t>::max())) {
        const auto magnitude = static_cast<std::int64_t>(d.Lo64);
        *result = Variant::FromInteger((d.sign & DECIMAL_NEG) ? -magnitude : magnitude);
        return S_OK;
      }
      double real = 0;
      DECIMAL copy = d;  // the SDK declares the argument writable
      if (const HRESULT hr = ::VarR8FromDec(&copy, &real); FAILED(hr)) return hr;
      *result = Variant::FromReal(real);
      return S_OK;
    }
    case VT_BSTR:
      *result = Variant::FromWideText(Bstr::View(V_BSTR(&value)));
      return S_OK;
    default: {
      // Dates and the rest: shown as the system writes them.
      if (const HRESULT hr = ::VariantChangeType(&value, &value, 0, VT_BSTR); FAILED(hr)) return DISP_E_TYPEMISMATCH;
      *result = Variant::FromWideText(Bstr::View(V_BSTR(&value)));
      return S_OK;
    }
  }
}

}  // namespace velmora::win32
