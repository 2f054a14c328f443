#pragma once
// What the two hosts of the test hardware server share: the class factory, the
// counts that say when the server is idle, and its registry names.

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <string>

namespace velmora::test {

inline const ::GUID kClsidHardware = {0x72D2BD55, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};
inline const ::GUID kIidHardwareService = {0x72D2BD54, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};
// The type library of IHardwareService (service/hardware_service.idl).
inline const ::GUID kLibidHardware = {0xE0D469DD, 0x5BD6, 0x4A6E, {0xA4, 0xA5, 0x3F, 0xC9, 0x0D, 0xE2, 0xAD, 0xF9}};
inline constexpr wchar_t kClsidKey[] = L"CLSID\\{72D2BD55-66FA-11D4-A097-0050DAC21168}";

// Live service objects, LockServer locks, and references to the factory.
extern std::atomic<long> gObjects;
extern std::atomic<long> gLocks;
extern std::atomic<long> gFactoryReferences;
// When set, told of every record set OpenQuery hands out (holding a reference of
// the server's own is the hook's business).
extern void (*gOnHandOut)(::IUnknown* object);

// The class factory of the service's class; static, never freed.
::IClassFactory& Factory();

// The value of an environment variable of this process; "" when it is unset.
std::wstring Environment(const wchar_t* name);

LONG SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& value);

}  // namespace velmora::test
