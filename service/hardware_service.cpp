#include "service/hardware_service.h"

#include "service/utf.h"

namespace velmora {

void OleCheck(HRESULT hr) {
  if (Succeeded(hr)) {
    ClearErrorInfo();
    return;
  }
  std::string message;
  if (const std::optional<std::u16string> description = TakeErrorInfo()) {
    message = TrimMessage(Utf16ToUtf8(*description));
  }
  if (message.empty()) message = TrimMessage(SystemErrorMessage(hr));
  if (message.empty()) message = OleErrorText(hr);
  throw OleError(message, hr);
}

ComPtr<IHardwareService> CoHardware::Create() {
  ComPtr<IUnknown> object;
  const HRESULT hr = CoCreateInstance(CLSID_Hardware, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IUnknown::IID, object.PutVoid());
  if (Failed(hr)) {
    throw OleError(TrimMessage(SystemErrorMessage(hr)) + ", ClassID: " + CLSID_Hardware.ToString(), hr);
  }
  ComPtr<IHardwareService> service = object.As<IHardwareService>();
  if (!service) throw InterfaceNotSupported();
  return service;
}

ComPtr<IRecordset> AsRecordset(const ComPtr<IUnknown>& object) { return object.As<IRecordset>(); }

ComPtr<IUnknown> OpenQuery(IHardwareService& service, std::u16string_view text) {
  ClearErrorInfo();
  ComPtr<IUnknown> result;
  OleCheck(service.OpenQuery(text, result.Put()));
  return result;
}

void ExecuteCommand(IHardwareService& service, std::u16string_view text) {
  ClearErrorInfo();
  OleCheck(service.ExecuteCommand(text));
}

}  // namespace velmora
