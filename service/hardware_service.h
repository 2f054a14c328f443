#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "service/com.h"
#include "service/recordset.h"

namespace velmora {

// The hardware service's interface: every query and statement of the program goes
// through it. Texts are UTF-16; failures leave a description in the thread's error
// information.
struct IHardwareService : IUnknown {
  static constexpr Guid IID = {0x72D2BD54, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};

  // Runs a query; on success *result is an object offering IRecordset, open on the
  // first row.
  virtual HRESULT OpenQuery(std::u16string_view text, IUnknown** result) = 0;
  // Carries out a statement; success means it is carried out and durable.
  virtual HRESULT ExecuteCommand(std::u16string_view text) = 0;

 protected:
  ~IHardwareService() = default;
};

// The class id of the hardware service object.
inline constexpr Guid CLSID_Hardware = {0x72D2BD55, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};

// The failure of a component-object call, with the message the user reads.
class OleError : public std::runtime_error {
 public:
  OleError(const std::string& message, HRESULT code) : std::runtime_error(message), FCode(code) {}
  HRESULT Code() const { return FCode; }

 private:
  HRESULT FCode;
};

// Turns a failed result code of a call into an OleError: the thread's error
// description, else the system's text, trimmed, else "OLE error XXXXXXXX". Clears
// the error information either way.
void OleCheck(HRESULT hr);

// Creates hardware service objects.
class CoHardware {
 public:
  // A new service object; throws OleError "<system text>, ClassID: {...}" when the
  // class cannot be created ("OLE error XXXXXXXX, ClassID: {...}" for a code the
  // system has no text for), and "Interface not supported" when the object does not
  // offer IHardwareService.
  static ComPtr<IHardwareService> Create();
};

// Interface not offered by an object, as the program reports it.
class InterfaceNotSupported : public std::runtime_error {
 public:
  InterfaceNotSupported() : std::runtime_error("Interface not supported") {}
};

// The hardware service interface of a created object; empty when it offers none.
ComPtr<IHardwareService> AsHardwareService(const ComPtr<IUnknown>& object);

// The record set interface of an object OpenQuery returned; empty when the object
// offers none. (Where the real ADO record set arrives, this is where it is wrapped.)
ComPtr<IRecordset> AsRecordset(const ComPtr<IUnknown>& object);

// Calls OpenQuery and ExecuteCommand with the error information cleared first, so
// that a description left by an earlier call is never shown for this one.
ComPtr<IUnknown> OpenQuery(IHardwareService& service, std::u16string_view text);
void ExecuteCommand(IHardwareService& service, std::u16string_view text);

}  // namespace velmora
