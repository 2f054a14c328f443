// Registration files decide which code a process loads: they are read as
// carefully as the service's own configuration.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "server_test_support.h"
#include "service/registry.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

// A class nobody registers but these tests.
const Guid kClass = *Guid::Parse("{5B0E6C1A-3D2F-4E8B-9A71-0C4D2E6F8A13}");

TEST(Registry, RegistrationsAreReadDefensively) {
  struct Case {
    const char* Label;
    std::function<void(const fs::path& first, const fs::path& second)> Make;  // the two folders, in search order
    bool Relative;      // VELMORA_REGISTRY starts with a relative entry naming the first folder
    const char* Server;  // the module found, "" when the class is found without one, nullptr when not found
  } cases[] = {
      {"first folder's file", [](const fs::path& a, const fs::path&) { WriteFile(a / "x.class", "InprocServer=/m/a.so\n"); },
       false, "/m/a.so"},
      {"relative entry", [](const fs::path& a, const fs::path&) { WriteFile(a / "x.class", "InprocServer=/m/a.so\n"); },
       true, nullptr},
      {"repeated key",
       [](const fs::path& a, const fs::path& b) {
         WriteFile(a / "x.class", "InprocServer=/m/a.so\nInprocServer=/m/evil.so\n");
         WriteFile(b / "x.class", "InprocServer=/m/b.so\n");
       },
       false, ""},
      {"NUL in a value",
       [](const fs::path& a, const fs::path&) {
         WriteFile(a / "x.class", std::string("InprocServer=/m/a.so\0/x\n", 25));
       },
       false, ""},
      {"larger than 64 KiB",
       [](const fs::path& a, const fs::path&) {
         WriteFile(a / "x.class", std::string(70000, '#') + "\nInprocServer=/m/a.so\n");
       },
       false, ""},
      {"endless device",
       [](const fs::path& a, const fs::path&) { fs::create_symlink("/dev/zero", a / "x.class"); }, false, ""},
      {"folder writable by everyone",
       [](const fs::path& a, const fs::path& b) {
         WriteFile(a / "x.class", "InprocServer=/m/evil.so\n");
         fs::permissions(a, fs::perms::all);
         WriteFile(b / "x.class", "InprocServer=/m/b.so\n");
       },
       false, "/m/b.so"},
      {"file writable by everyone",
       [](const fs::path& a, const fs::path& b) {
         WriteFile(a / "x.class", "InprocServer=/m/evil.so\n");
         fs::permissions(a / "x.class", fs::perms::all);
         WriteFile(b / "x.class", "InprocServer=/m/b.so\n");
       },
       false, "/m/b.so"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    TempDir dir;
    const fs::path first = dir.Path() / "first";
    const fs::path second = dir.Path() / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    c.Make(first, second);
    // The class's file name, whatever the cases called it.
    for (const fs::path& folder : {first, second}) {
      if (fs::exists(fs::symlink_status(folder / "x.class"))) fs::rename(folder / "x.class", folder / RegistrationFileName(kClass));
    }
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.Path());
    setenv("VELMORA_REGISTRY", ((c.Relative ? "first:" : first.string() + ":") + second.string()).c_str(), 1);
    setenv("HOME", dir.File("home").c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) unsetenv(name);
    setenv("XDG_CONFIG_DIRS", dir.File("none").c_str(), 1);
    setenv("XDG_DATA_DIRS", dir.File("none").c_str(), 1);
    const std::optional<ClassRegistration> found = FindClassRegistration(kClass);
    fs::current_path(cwd);
    if (c.Server == nullptr) {
      EXPECT_FALSE(found) << found->InprocServer;
    } else {
      ASSERT_TRUE(found);
      EXPECT_EQ(found->InprocServer.string(), c.Server);
    }
  }
  UseTestEnvironment();
}

}  // namespace
}  // namespace velmora::test
