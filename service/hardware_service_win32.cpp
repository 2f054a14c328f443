// The hardware service on Windows: the site's COM server, reached through the
// positions of its method table, and its ADO record sets.

#include "service/com_win32.h"

#include "service/ado_recordset_win32.h"
#include "service/hardware_service.h"

namespace velmora {
namespace {

// The server's interface: IUnknown, then 77 methods we never call, then ours.
constexpr std::size_t kOpenQuerySlot = 80;       // HRESULT OpenQuery(BSTR text, IUnknown** result)
constexpr std::size_t kExecuteCommandSlot = 81;  // HRESULT ExecuteCommand(BSTR text)

// Our IHardwareService over the server's: the texts go as system strings that we
// allocate and free; the result code and error information are the server's.
class HardwareServiceAdapter final : public ComObject<IHardwareService> {
 public:
  explicit HardwareServiceAdapter(win32::NativePtr<> service) : FService(std::move(service)) {}

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    const win32::Bstr query(text);
    if (query.Get() == nullptr) return E_OUTOFMEMORY;
    ::IUnknown* object = nullptr;
    const HRESULT hr = win32::CallSlot(FService.Get(), kOpenQuerySlot, query.Get(), &object);
    const win32::NativePtr<> owned = win32::NativePtr<>::Attach(object);
    if (Succeeded(hr) && owned) {
      ComPtr<IUnknown> view = win32::WrapNative(owned.Get());
      *result = view.Get();
      view->AddRef();
    }
    return hr;
  }

  HRESULT ExecuteCommand(std::u16string_view text) override {
    const win32::Bstr statement(text);
    if (statement.Get() == nullptr) return E_OUTOFMEMORY;
    return win32::CallSlot(FService.Get(), kExecuteCommandSlot, statement.Get());
  }

 private:
  ~HardwareServiceAdapter() override = default;
  win32::NativePtr<> FService;
};

}  // namespace

ComPtr<IHardwareService> AsHardwareService(const ComPtr<IUnknown>& object) {
  const win32::NativePtr<> service = [&] {
    ::IUnknown* native = win32::NativeOf(object.Get());
    if (native) native->AddRef();
    return win32::NativePtr<>::Attach(native).Query(IHardwareService::IID);
  }();
  if (!service) return {};
  return ComPtr<IHardwareService>::Attach(new HardwareServiceAdapter(service));
}

ComPtr<IRecordset> AsRecordset(const ComPtr<IUnknown>& object) {
  return win32::WrapAdoRecordset(win32::NativeOf(object.Get()));
}

}  // namespace velmora
