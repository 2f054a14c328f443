// The component-object layer on Windows: our names map onto the system's COM.

#include "service/com_win32.h"

#include <string>

namespace velmora {
namespace win32 {
namespace {

// The interface by which our view of a system object hands that object out. Known
// only to this file, so its id is our own.
struct INativeObject : IUnknown {
  static constexpr Guid IID = {0x5B0C1E3A, 0x7D41, 0x4F6B, {0x9A, 0x2E, 0x61, 0x0C, 0x3B, 0x8D, 0x47, 0x15}};
  virtual ::IUnknown* Native() = 0;

 protected:
  ~INativeObject() = default;
};

class NativeObject final : public ComObject<INativeObject> {
 public:
  explicit NativeObject(::IUnknown* object) : FObject(NativePtr<>::Attach(object)) { object->AddRef(); }
  ::IUnknown* Native() override { return FObject.Get(); }

 private:
  ~NativeObject() override = default;
  NativePtr<> FObject;
};

}  // namespace

ComPtr<IUnknown> WrapNative(::IUnknown* object) {
  if (object == nullptr) return {};
  return ComPtr<IUnknown>::Attach(new NativeObject(object));
}

::IUnknown* NativeOf(IUnknown* object) {
  if (object == nullptr) return nullptr;
  ComPtr<INativeObject> view;
  if (Failed(object->QueryInterface(INativeObject::IID, view.PutVoid())) || !view) return nullptr;
  return view->Native();
}

}  // namespace win32

// Plain initialisation: a single-threaded apartment, as the hardware service needs.
HRESULT CoInitialize() { return ::CoInitialize(nullptr); }

void CoUninitialize() { ::CoUninitialize(); }

void SetErrorInfo(std::u16string_view description) {
  win32::NativePtr<::ICreateErrorInfo> create;
  if (FAILED(::CreateErrorInfo(create.Put()))) return;
  // SetDescription wants a terminated string.
  const std::u16string text(description);
  create->SetDescription(const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(text.c_str())));
  win32::NativePtr<::IErrorInfo> info;
  if (FAILED(create->QueryInterface(IID_IErrorInfo, info.PutVoid()))) return;
  ::SetErrorInfo(0, info.Get());
}

void ClearErrorInfo() { ::SetErrorInfo(0, nullptr); }

std::optional<std::u16string> TakeErrorInfo() {
  win32::NativePtr<::IErrorInfo> info;
  // GetErrorInfo hands the object over and clears the thread's slot.
  if (::GetErrorInfo(0, info.Put()) != S_OK || !info) return std::nullopt;
  win32::Bstr description;
  if (FAILED(info->GetDescription(description.Put())) || description.Get() == nullptr) return std::nullopt;
  return std::u16string(description.View());
}

HRESULT CoCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t context, const Guid& iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  // Our objects have no system layout, so none can control a system object.
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  const ::GUID nativeClsid = win32::ToNative(clsid);
  win32::NativePtr<> native;
  const HRESULT hr = ::CoCreateInstance(nativeClsid, nullptr, context, IID_IUnknown, native.PutVoid());
  if (Failed(hr)) return hr;
  if (!native) return E_POINTER;
  // The system object's own interfaces are reached through NativeOf by the code
  // that knows their layout; the view itself offers our IUnknown only.
  return win32::WrapNative(native.Get())->QueryInterface(iid, object);
}

}  // namespace velmora
