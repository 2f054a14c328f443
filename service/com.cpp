#include "service/com.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <system_error>

#include "service/local_server.h"
#include "service/module_abi.h"
#include "service/registry.h"

namespace velmora {
namespace {

thread_local int tApartmentCount = 0;
thread_local std::optional<std::u16string> tErrorInfo;

void HostSetErrorInfo(const char16_t* description, std::size_t length) {
  if (description == nullptr) {
    tErrorInfo.reset();
  } else {
    tErrorInfo.emplace(description, length);
  }
}

thread_local std::string tCallerName;

const char* HostCallerName() { return tCallerName.empty() ? nullptr : tCallerName.c_str(); }

constexpr VelmoraHostApi kHostApi = {sizeof(VelmoraHostApi), &HostSetErrorInfo, &HostCallerName};

// Modules stay loaded for the life of the process: objects they made may outlive
// any one creation call, and unloading code that still has live objects crashes.
HRESULT LoadModuleEntry(const std::filesystem::path& module, VelmoraGetClassObjectFn* entry) {
  static std::mutex mutex;
  static std::map<std::filesystem::path, VelmoraGetClassObjectFn> loaded;
  std::lock_guard lock(mutex);
  if (auto it = loaded.find(module); it != loaded.end()) {
    *entry = it->second;
    return S_OK;
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(module, ec)) return HRESULT_MOD_NOT_FOUND;
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return CO_E_ERRORINDLL;
  void* symbol = dlsym(handle, kGetClassObjectSymbol);
  if (symbol == nullptr) {
    dlclose(handle);
    return HRESULT_PROC_NOT_FOUND;
  }
  *entry = reinterpret_cast<VelmoraGetClassObjectFn>(symbol);
  loaded.emplace(module, *entry);
  return S_OK;
}

}  // namespace

HRESULT CoInitialize() { return tApartmentCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (tApartmentCount > 0) --tApartmentCount;
}

void SetErrorInfo(std::u16string_view description) { tErrorInfo.emplace(description); }

void ClearErrorInfo() { tErrorInfo.reset(); }

std::optional<std::u16string> TakeErrorInfo() { return std::exchange(tErrorInfo, std::nullopt); }

void SetCallerName(std::string name) { tCallerName = std::move(name); }

HRESULT PreloadInprocServer(const Guid& clsid) {
  const std::optional<ClassRegistration> registration = FindClassRegistration(clsid);
  if (!registration || registration->InprocServer.empty()) return REGDB_E_CLASSNOTREG;
  VelmoraGetClassObjectFn entry = nullptr;
  return LoadModuleEntry(registration->InprocServer, &entry);
}

HRESULT CoCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t context, const Guid& iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (tApartmentCount == 0) return CO_E_NOTINITIALIZED;
  const std::optional<ClassRegistration> registration = FindClassRegistration(clsid);
  if (!registration) return REGDB_E_CLASSNOTREG;
  // The context decides, in-process first: a registration naming both runs the
  // module here unless the caller asked for the local server only.
  const bool inproc = (context & CLSCTX_INPROC_SERVER) != 0 && !registration->InprocServer.empty();
  if (!inproc) {
    if ((context & CLSCTX_LOCAL_SERVER) == 0 || registration->LocalServer.empty()) return REGDB_E_CLASSNOTREG;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateLocalServerObject(registration->LocalServer, clsid, iid, object);
  }

  VelmoraGetClassObjectFn entry = nullptr;
  if (const HRESULT hr = LoadModuleEntry(registration->InprocServer, &entry); Failed(hr)) return hr;

  ComPtr<IClassFactory> factory;
  if (const HRESULT hr = entry(&kHostApi, &clsid, &IClassFactory::IID, factory.PutVoid()); Failed(hr)) return hr;
  if (!factory) return E_POINTER;
  return factory->CreateInstance(outer, iid, object);
}

}  // namespace velmora
