// The hardware service COM server of the Windows tests, hosted in process by
// velmora-test-hardware.dll (test_hardware_dll.cpp) and out of process by
// velmora-test-hardware-server.exe (test_hardware_local_server.cpp). It answers
// OpenQuery with an ADO record set built by the system's own ADO, records every
// text it receives, and fails on demand. Tests steer it through the environment of
// the process that runs it (read at each call; a local server started by COM
// inherits its client's under Wine):
//   VELMORA_TEST_LOG              file to which each received text is appended, as
//                                 UTF-8 followed by a NUL
//   VELMORA_TEST_ROWS             rows "site|controller|type|description|disabled",
//                                 separated by ';'; an empty value is null
//   VELMORA_TEST_OPEN_FAILURE     "<hex code>[ <description>]": OpenQuery fails so
//   VELMORA_TEST_EXECUTE_FAILURE  the same for ExecuteCommand
//   VELMORA_TEST_RESULT           "closed": a closed record set; "nothing": success
//                                 without an object; "other": an object that is
//                                 no record set
//   VELMORA_TEST_NO_INTERFACE     set: objects do not offer IHardwareService
//   VELMORA_TEST_CLASS_FAILURE    "<hex code>": DllGetClassObject fails with it
//   VELMORA_TEST_ROW_COUNT        a number: that many rows "n|n|T|Row n|0" after
//                                 those of VELMORA_TEST_ROWS, for large loads

// First: it takes the system's headers in the order our names need.
#include "service/ado_win32.h"

#include "tests/win32/test_hardware_server.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace test_hardware {

std::atomic<long> gObjects{0};
std::atomic<long> gMade{0};
std::atomic<long> gLocks{0};
std::atomic<long> gFactoryReferences{0};
bool gRecordsetsByValue = false;

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(std::size(buffer)));
  if (length == 0 || length >= std::size(buffer)) return {};
  return std::wstring(buffer, length);
}

namespace {

using velmora::win32::Bstr;
using velmora::win32::CallSlot;
using velmora::win32::NativePtr;
using velmora::win32::ToNative;
namespace ado = velmora::ado;

bool HasEnvironment(const wchar_t* name) { return ::GetEnvironmentVariableW(name, nullptr, 0) > 0; }

std::string ToUtf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

void Record(BSTR text) {
  const std::wstring path = Environment(L"VELMORA_TEST_LOG");
  if (path.empty()) return;
  FILE* file = _wfopen(path.c_str(), L"ab");
  if (file == nullptr) return;
  const std::string utf8 = ToUtf8(text, static_cast<int>(::SysStringLen(text)));
  std::fwrite(utf8.data(), 1, utf8.size(), file);
  std::fputc('\0', file);
  std::fclose(file);
}

// A failure the environment asks for: "<hex code>[ <description>]". Sets the error
// information when there is a description; S_OK when none is asked for.
HRESULT Scripted(const wchar_t* variable) {
  const std::wstring setting = Environment(variable);
  if (setting.empty()) return S_OK;
  const HRESULT code = static_cast<HRESULT>(std::wcstoul(setting.c_str(), nullptr, 16));
  const std::size_t space = setting.find(L' ');
  if (space != std::wstring::npos) {
    NativePtr<::ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(create.Put()))) {
      std::wstring description = setting.substr(space + 1);
      create->SetDescription(description.data());
      NativePtr<::IErrorInfo> info;
      if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid()))) ::SetErrorInfo(0, info.Get());
    }
  }
  return code;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

VARIANT Missing() {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

VARIANT Index(long i) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = i;
  return v;
}

struct Column {
  const wchar_t* Name;
  long Type;
  long Size;
};

constexpr Column kColumns[] = {
    {L"Site", ado::adInteger, 4},
    {L"Controller", ado::adInteger, 4},
    {L"Controller Type", ado::adVarWChar, 11},
    {L"Description", ado::adVarWChar, 255},
    {L"Disabled", ado::adInteger, 4},
};

#define VELMORA_CHECK(call)                      \
  do {                                           \
    if (const HRESULT hr_ = (call); FAILED(hr_)) \
      return hr_;                                \
  } while (false)

// The rows of setting (as VELMORA_TEST_ROWS holds them) as an open ADO record set
// on its first row. Wine's ADO wants every row appended before any is filled, and
// has no Update.
HRESULT BuildRecordset(const std::wstring& setting, NativePtr<>& result) {
  NativePtr<> recordset;
  const ::GUID clsid = ToNative(ado::CLSID_Recordset);
  const ::GUID iid = ToNative(ado::IID_Recordset);
  VELMORA_CHECK(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, recordset.PutVoid()));
  NativePtr<> fields;
  VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::get_Fields, fields.Put()));
  for (const Column& column : kColumns) {
    const Bstr name(std::u16string_view(reinterpret_cast<const char16_t*>(column.Name)));
    VELMORA_CHECK(CallSlot(fields.Get(), ado::fields::Append, name.Get(), column.Type, column.Size,
                           ado::adFldIsNullable | ado::adFldMayBeNull, Missing()));
  }
  VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::Open, Missing(), Missing(), ado::adOpenStatic,
                         ado::adLockOptimistic, -1L));

  std::vector<std::vector<std::wstring>> rows;
  if (!setting.empty()) {
    for (const std::wstring& row : Split(setting, L';')) rows.push_back(Split(row, L'|'));
  }
  const long generated = std::wcstol(Environment(L"VELMORA_TEST_ROW_COUNT").c_str(), nullptr, 10);
  for (long n = 1; n <= generated; ++n) {
    const std::wstring number = std::to_wstring(n);
    rows.push_back({number, number, L"T", L"Row " + number, L"0"});
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::AddNew, Missing(), Missing()));
  }
  if (!rows.empty()) VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::MoveFirst));
  for (const std::vector<std::wstring>& row : rows) {
    for (long c = 0; c < static_cast<long>(std::size(kColumns)) && c < static_cast<long>(row.size()); ++c) {
      NativePtr<> field;
      VELMORA_CHECK(CallSlot(fields.Get(), ado::fields::get_Item, Index(c), field.Put()));
      const std::wstring& text = row[static_cast<std::size_t>(c)];
      VARIANT value;
      ::VariantInit(&value);
      Bstr textValue;
      if (text.empty()) {
        value.vt = VT_NULL;
      } else if (kColumns[c].Type == ado::adInteger) {
        value.vt = VT_I4;
        value.lVal = std::wcstol(text.c_str(), nullptr, 10);
      } else {
        textValue = Bstr(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
        value.vt = VT_BSTR;
        value.bstrVal = textValue.Get();
      }
      VELMORA_CHECK(CallSlot(field.Get(), ado::field::put_Value, value));
    }
    const HRESULT updated = CallSlot(recordset.Get(), ado::recordset::Update, Missing(), Missing());
    if (FAILED(updated) && updated != E_NOTIMPL) return updated;
    VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::MoveNext));
  }
  if (!rows.empty()) VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::MoveFirst));
  result = std::move(recordset);
  return S_OK;
}

// The IUnknown half of the two ends of a record set sent by value; each is counted
// among the server's objects while it lives.
class MarshalObject : public ::IMarshal {
 public:
  MarshalObject() { ++gObjects; }
  MarshalObject(const MarshalObject&) = delete;
  MarshalObject& operator=(const MarshalObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IMarshal) return E_NOINTERFACE;
    *object = static_cast<::IMarshal*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --FRefs;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~MarshalObject() { --gObjects; }

 private:
  std::atomic<ULONG> FRefs{1};
};

// A record set that travels by value, as ADO's own do between processes: a local
// server hands this out, the system asks it how to marshal itself, and the
// client's unmarshaler (RecordsetUnmarshaler, in velmora-test-hardware.dll) builds
// an ADO record set of the same rows in the client's process. The stream holds
// the closed flag, the length of the rows text and the text itself.
class RecordsetByValue final : public MarshalObject {
 public:
  RecordsetByValue(std::wstring rows, bool closed) : FRows(std::move(rows)), FClosed(closed) {}


  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = kClsidRecordsetUnmarshaler;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* size) override {
    if (size == nullptr) return E_POINTER;
    *size = static_cast<DWORD>(2 * sizeof(DWORD) + FRows.size() * sizeof(wchar_t));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(::IStream* stream, REFIID, void*, DWORD, void*, DWORD) override {
    const DWORD header[2] = {FClosed ? 1u : 0u, static_cast<DWORD>(FRows.size())};
    VELMORA_CHECK(stream->Write(header, sizeof header, nullptr));
    return stream->Write(FRows.data(), static_cast<ULONG>(FRows.size() * sizeof(wchar_t)), nullptr);
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(::IStream*, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(::IStream* stream) override { return SkipMarshalData(stream); }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

  // Reads past what MarshalInterface wrote.
  static HRESULT SkipMarshalData(::IStream* stream) {
    DWORD header[2] = {};
    VELMORA_CHECK(stream->Read(header, sizeof header, nullptr));
    LARGE_INTEGER skip;
    skip.QuadPart = static_cast<LONGLONG>(header[1]) * static_cast<LONGLONG>(sizeof(wchar_t));
    return stream->Seek(skip, STREAM_SEEK_CUR, nullptr);
  }

 private:
  const std::wstring FRows;
  const bool FClosed;
};

// The client's end of RecordsetByValue.
class RecordsetUnmarshaler final : public MarshalObject {
 public:
  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MarshalInterface(::IStream*, REFIID, void*, DWORD, void*, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(::IStream* stream, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    DWORD header[2] = {};
    VELMORA_CHECK(stream->Read(header, sizeof header, nullptr));
    constexpr DWORD kMostCharacters = 1u << 24;
    if (header[1] > kMostCharacters) return E_INVALIDARG;
    std::wstring rows(header[1], L'\0');
    if (!rows.empty()) {
      VELMORA_CHECK(stream->Read(rows.data(), static_cast<ULONG>(rows.size() * sizeof(wchar_t)), nullptr));
    }
    NativePtr<> recordset;
    VELMORA_CHECK(BuildRecordset(rows, recordset));
    if (header[0] != 0) VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::Close));
    return recordset->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(::IStream* stream) override {
    return RecordsetByValue::SkipMarshalData(stream);
  }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }
};

// Methods 3 to 79 of the server's interface, which the program never calls.
#define VELMORA_UNUSED(n) \
  virtual HRESULT STDMETHODCALLTYPE Unused##n() { return E_NOTIMPL; }
#define VELMORA_UNUSED10(n)                                                                              \
  VELMORA_UNUSED(n##0) VELMORA_UNUSED(n##1) VELMORA_UNUSED(n##2) VELMORA_UNUSED(n##3) VELMORA_UNUSED(n##4) \
  VELMORA_UNUSED(n##5) VELMORA_UNUSED(n##6) VELMORA_UNUSED(n##7) VELMORA_UNUSED(n##8) VELMORA_UNUSED(n##9)

class HardwareService final : public ::IUnknown {
 public:
  HardwareService() {
    ++gObjects;
    ++gMade;
  }
  HardwareService(const HardwareService&) = delete;
  HardwareService& operator=(const HardwareService&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || (iid == kIidHardwareService && !HasEnvironment(L"VELMORA_TEST_NO_INTERFACE"))) {
      *object = this;
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --FRefs;
    if (left == 0) delete this;
    return left;
  }

  // Positions 3 to 79 (77 methods).
  VELMORA_UNUSED10(0) VELMORA_UNUSED10(1) VELMORA_UNUSED10(2) VELMORA_UNUSED10(3)
  VELMORA_UNUSED10(4) VELMORA_UNUSED10(5) VELMORA_UNUSED10(6)
  VELMORA_UNUSED(70) VELMORA_UNUSED(71) VELMORA_UNUSED(72) VELMORA_UNUSED(73)
  VELMORA_UNUSED(74) VELMORA_UNUSED(75) VELMORA_UNUSED(76)

  // Position 80.
  virtual HRESULT STDMETHODCALLTYPE OpenQuery(BSTR text, ::IUnknown** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    Record(text);
    if (const HRESULT hr = Scripted(L"VELMORA_TEST_OPEN_FAILURE"); FAILED(hr)) return hr;
    const std::wstring kind = Environment(L"VELMORA_TEST_RESULT");
    if (kind == L"nothing") return S_OK;
    if (kind == L"other") {
      *result = new HardwareService;
      return S_OK;
    }
    if (gRecordsetsByValue) {
      *result = new RecordsetByValue(Environment(L"VELMORA_TEST_ROWS"), kind == L"closed");
      return S_OK;
    }
    NativePtr<> recordset;
    VELMORA_CHECK(BuildRecordset(Environment(L"VELMORA_TEST_ROWS"), recordset));
    if (kind == L"closed") VELMORA_CHECK(CallSlot(recordset.Get(), ado::recordset::Close));
    *result = recordset.Get();
    (*result)->AddRef();
    return S_OK;
  }

  // Position 81.
  virtual HRESULT STDMETHODCALLTYPE ExecuteCommand(BSTR text) {
    Record(text);
    return Scripted(L"VELMORA_TEST_EXECUTE_FAILURE");
  }

 private:
  ~HardwareService() { --gObjects; }
  std::atomic<ULONG> FRefs{1};
};

// The class factory of one class: Object, made with its default constructor.
template <class Object>
class ClassFactory final : public ::IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<::IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static: its count only keeps the module.
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++gFactoryReferences); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--gFactoryReferences); }

  HRESULT STDMETHODCALLTYPE CreateInstance(::IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Object* created = new Object;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++gLocks;
    } else {
      --gLocks;
    }
    return S_OK;
  }
};

ClassFactory<HardwareService> gFactory;
ClassFactory<RecordsetUnmarshaler> gUnmarshalerFactory;

}  // namespace

::IClassFactory& Factory() { return gFactory; }
::IClassFactory& UnmarshalerFactory() { return gUnmarshalerFactory; }

LONG SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace test_hardware
