#pragma once
// The entry point of an in-process module. The host hands the module its services
// (the thread's error information lives in the host) with each request.

#include <cstddef>

#include "service/com.h"

extern "C" {

// What the host offers a module; Size lets later hosts add members, so a module
// reads a member only when Size covers it (VELMORA_HOST_HAS).
struct VelmoraHostApi {
  std::uint32_t Size;
  void (*SetErrorInfo)(const char16_t* description, std::size_t length);
  // The user the calling thread works for, as a NUL-terminated name, when the host
  // serves someone else (a local server: taken from the socket's peer); nullptr
  // when the process's own user is the caller. Valid until the call returns.
  const char* (*CallerName)();
};

// True when the host table covers member.
#define VELMORA_HOST_HAS(host, member) \
  ((host)->Size >= offsetof(VelmoraHostApi, member) + sizeof(VelmoraHostApi::member))

// Every module exports this: hands out the class object of clsid (normally an
// IClassFactory), or CLASS_E_CLASSNOTAVAILABLE when the module has no such class.
using VelmoraGetClassObjectFn = velmora::HRESULT (*)(const VelmoraHostApi* host, const velmora::Guid* clsid,
                                                     const velmora::Guid* iid, void** object);
}

namespace velmora {
inline constexpr const char* kGetClassObjectSymbol = "VelmoraGetClassObject";
}  // namespace velmora

// Declares a module's entry point with the right linkage and visibility.
#define VELMORA_MODULE_ENTRY                                                                           \
  extern "C" __attribute__((visibility("default"))) velmora::HRESULT VelmoraGetClassObject(            \
      const VelmoraHostApi* host, const velmora::Guid* clsid, const velmora::Guid* iid, void** object)
