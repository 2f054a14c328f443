#include "tests/support/test_registry.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <fstream>
#include <stdexcept>

#include "service/hardware_service.h"
#include "service/registry.h"

namespace velmora::test {

TestRegistry::TestRegistry() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-registry-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary registry");
  FDir = pattern;
  setenv("VELMORA_REGISTRY", FDir.c_str(), 1);
  // Keep the user's and the system's registrations out of the tests.
  setenv("XDG_CONFIG_HOME", (FDir / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (FDir / "data").c_str(), 1);
  setenv("XDG_CONFIG_DIRS", (FDir / "etc").c_str(), 1);
  setenv("XDG_DATA_DIRS", (FDir / "share").c_str(), 1);
}

TestRegistry::~TestRegistry() {
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

void TestRegistry::RegisterModule(const std::string& module) {
  std::ofstream(FDir / RegistrationFileName(CLSID_Hardware)) << RegistrationText(module, "test registration");
}

void TestRegistry::Unregister() { std::filesystem::remove(FDir / RegistrationFileName(CLSID_Hardware)); }

TestServiceControl& TestRegistry::UseTestService() {
  RegisterModule(VELMORA_TEST_SERVICE_MODULE);
  // The same handle the registry loads: dlopen hands out one copy per path.
  static TestServiceControl* control = [] {
    void* handle = dlopen(VELMORA_TEST_SERVICE_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    auto get = reinterpret_cast<TestServiceControl* (*)()>(dlsym(handle, "VelmoraTestServiceControl"));
    if (get == nullptr) throw std::runtime_error("test service module has no control block");
    return get();
  }();
  control->Reset();
  return *control;
}

}  // namespace velmora::test
