#pragma once
// What the two hosts of the test hardware server share: the class factory, the
// counts that say when the server is idle, and its registry names.

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <string>

namespace test_hardware {

inline const ::GUID kClsidHardware = {0x72D2BD55, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};
inline const ::GUID kIidHardwareService = {0x72D2BD54, 0x66FA, 0x11D4, {0xA0, 0x97, 0x00, 0x50, 0xDA, 0xC2, 0x11, 0x68}};
// The type library of IHardwareService (service/hardware_service.idl).
inline const ::GUID kLibidHardware = {0xE0D469DD, 0x5BD6, 0x4A6E, {0xA4, 0xA5, 0x3F, 0xC9, 0x0D, 0xE2, 0xAD, 0xF9}};
inline constexpr wchar_t kClsidKey[] = L"CLSID\\{72D2BD55-66FA-11D4-A097-0050DAC21168}";
// The class that unmarshals a record set sent by value, in the client's process.
inline const ::GUID kClsidRecordsetUnmarshaler = {
    0xE9039F20, 0xBDBC, 0x42AF, {0xAB, 0x6A, 0xF5, 0x13, 0x6A, 0x5B, 0x49, 0x91}};
inline constexpr wchar_t kUnmarshalerKey[] = L"CLSID\\{E9039F20-BDBC-42AF-AB6A-F5136A5B4991}";

// Live service objects, LockServer locks, and references to the factory; objects
// made since the start.
extern std::atomic<long> gObjects;
extern std::atomic<long> gMade;
extern std::atomic<long> gLocks;
extern std::atomic<long> gFactoryReferences;
// True in a local server: OpenQuery hands out record sets that travel by value
// (an ADO record set of Wine's cannot be marshalled by reference).
extern bool gRecordsetsByValue;

// The class factories of the service's class and of the unmarshaler; static,
// never freed.
::IClassFactory& Factory();
::IClassFactory& UnmarshalerFactory();

// The value of an environment variable of this process; "" when it is unset.
std::wstring Environment(const wchar_t* name);

LONG SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& value);

}  // namespace test_hardware
