// velmora-test-hardware.dll: the test hardware server in process, registered with
// regsvr32 under InprocServer32.

#include <olectl.h>

#include <cwchar>

#include "tests/win32/test_hardware_server.h"

using namespace test_hardware;

namespace {
HINSTANCE gModule = nullptr;
}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    gModule = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid == kClsidRecordsetUnmarshaler) {
    const HRESULT hr = UnmarshalerFactory().QueryInterface(iid, object);
    if (SUCCEEDED(hr)) UnmarshalerFactory().AddRef();
    return hr;
  }
  if (clsid != kClsidHardware) return CLASS_E_CLASSNOTAVAILABLE;
  const std::wstring failure = Environment(L"VELMORA_TEST_CLASS_FAILURE");
  if (!failure.empty()) return static_cast<HRESULT>(std::wcstoul(failure.c_str(), nullptr, 16));
  const HRESULT hr = Factory().QueryInterface(iid, object);
  if (SUCCEEDED(hr)) Factory().AddRef();
  return hr;
}

STDAPI DllCanUnloadNow() { return gObjects == 0 && gLocks == 0 && gFactoryReferences == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(gModule, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  HKEY key = nullptr;
  const std::wstring keyName = std::wstring(kClsidKey) + L"\\InprocServer32";
  if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  const bool ok = SetRegistryString(key, nullptr, std::wstring(path, length)) == ERROR_SUCCESS &&
                  SetRegistryString(key, L"ThreadingModel", L"Apartment") == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok ? S_OK : SELFREG_E_CLASS;
}

// Removes the in-process registration only: a local server registered beside it
// stays.
STDAPI DllUnregisterServer() {
  const std::wstring keyName = std::wstring(kClsidKey) + L"\\InprocServer32";
  const LONG result = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, keyName.c_str());
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
  // The class key goes with its last server.
  ::RegDeleteKeyW(HKEY_CLASSES_ROOT, kClsidKey);
  return S_OK;
}

}  // extern "C"
