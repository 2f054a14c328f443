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
    // Messages are shown as C strings: what follows a NUL would never be read, and
    // one at the start would show an empty message.
    message = TrimMessage(Utf16ToUtf8(std::u16string_view(*description).substr(0, description->find(u'\0'))));
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
    // A code the system has no text for still names itself, or the box would
    // begin with a bare comma.
    std::string text = TrimMessage(SystemErrorMessage(hr));
    if (text.empty()) text = OleErrorText(hr);
    throw OleError(text + ", ClassID: " + CLSID_Hardware.ToString(), hr);
  }
  ComPtr<IHardwareService> service = AsHardwareService(object);
  if (!service) throw InterfaceNotSupported();
  return service;
}

#if !defined(_WIN32)
// Our own objects offer our interfaces directly. On Windows the objects are the
// system's, and these wrap them: hardware_service_win32.cpp.
ComPtr<IHardwareService> AsHardwareService(const ComPtr<IUnknown>& object) { return object.As<IHardwareService>(); }

ComPtr<IRecordset> AsRecordset(const ComPtr<IUnknown>& object) { return object.As<IRecordset>(); }
#endif

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
