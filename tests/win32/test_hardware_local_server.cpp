// velmora-test-hardware-server.exe: the test hardware server as a local
// (out-of-process) COM server, registered under LocalServer32 with the type
// library of IHardwareService that it carries, so that the system's marshaller
// carries the interface between processes; its record sets travel by value (see
// RecordsetByValue).
//   /RegServer     registers the class (LocalServer32), the type library and the
//                  record sets' unmarshaler (velmora-test-hardware.dll beside it)
//   /UnregServer   removes both
//   otherwise      serves the class until its last object is released
// VELMORA_TEST_SERVER_LOG names a file to which it appends "started <pid>" and
// "exited <pid>" lines, so that tests can wait for it and see that it ends.

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/win32/test_hardware_server.h"

using namespace test_hardware;

namespace {

bool Idle() { return gObjects == 0 && gLocks == 0; }

void Log(const char* what) {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(L"VELMORA_TEST_SERVER_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  FILE* file = _wfopen(path, L"ab");
  if (file == nullptr) return;
  std::fprintf(file, "%s %lu\n", what, ::GetCurrentProcessId());
  std::fclose(file);
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

bool SetKey(const std::wstring& keyName, const std::wstring& value, const wchar_t* threading) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool ok = SetRegistryString(key, nullptr, value) == ERROR_SUCCESS;
  if (threading != nullptr) ok = ok && SetRegistryString(key, L"ThreadingModel", threading) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

int Register() {
  const std::wstring path = ModulePath();
  if (path.empty()) return 1;
  if (!SetKey(std::wstring(kClsidKey) + L"\\LocalServer32", L"\"" + path + L"\"", nullptr)) return 1;
  // The unmarshaler of the record sets it sends lives in the client's process:
  // the in-process module beside this program.
  const std::wstring dll = path.substr(0, path.find_last_of(L"\\/") + 1) + L"velmora-test-hardware.dll";
  if (!SetKey(std::wstring(kUnmarshalerKey) + L"\\InprocServer32", dll, L"Both")) return 1;
  // The type library is the program's resource 1; registering it names the
  // system's marshaller as the interface's proxy and stub.
  ITypeLib* library = nullptr;
  const HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library);
  if (FAILED(hr)) {
    std::fprintf(stderr, "LoadTypeLibEx: %08lx\n", static_cast<unsigned long>(hr));
    return 1;
  }
  library->Release();
  return 0;
}

int Unregister() {
  const std::wstring keyName = std::wstring(kClsidKey) + L"\\LocalServer32";
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, keyName.c_str());
  ::RegDeleteKeyW(HKEY_CLASSES_ROOT, kClsidKey);
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kUnmarshalerKey);
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  const HRESULT hr = ::UnRegisterTypeLib(kLibidHardware, 1, 0, LOCALE_NEUTRAL, kind);
  return SUCCEEDED(hr) || hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? 0 : 1;
}

// Serves until the last object is gone. A server started by COM that nobody
// asks within a minute ends too.
int Serve() {
  if (FAILED(::CoInitialize(nullptr))) return 1;
  Log("started");
  gRecordsetsByValue = true;
  DWORD cookie = 0;
  HRESULT hr = ::CoRegisterClassObject(kClsidHardware, &Factory(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    ::CoUninitialize();
    return 1;
  }
  constexpr UINT kCheckMs = 100;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, kCheckMs, nullptr);
  const ULONGLONG started = ::GetTickCount64();
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr) {
      if (Idle() && (gMade > 0 || ::GetTickCount64() - started > 60000)) break;
      continue;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  ::KillTimer(nullptr, timer);
  ::CoRevokeClassObject(cookie);
  ::CoUninitialize();
  Log("exited");
  return 0;
}

// True when the command line holds /name or -name (any case), as COM and
// installers pass them.
bool HasOption(const wchar_t* commandLine, const wchar_t* name) {
  const std::size_t length = std::wcslen(name);
  for (const wchar_t* at = commandLine; *at != L'\0'; ++at) {
    const bool starts = at == commandLine || at[-1] == L' ' || at[-1] == L'\t';
    if (starts && (*at == L'/' || *at == L'-') && _wcsnicmp(at + 1, name, length) == 0 &&
        (at[1 + length] == L'\0' || at[1 + length] == L' ' || at[1 + length] == L'\t')) {
      return true;
    }
  }
  return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  if (HasOption(commandLine, L"UnregServer")) return Unregister();
  if (HasOption(commandLine, L"RegServer")) return Register();
  return Serve();
}
