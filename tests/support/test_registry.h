#pragma once

#include <filesystem>
#include <string>

#include "tests/support/test_service.h"

namespace velmora::test {

// A registry of its own for one test program: a temporary directory on
// $VELMORA_REGISTRY that registers the test service module (or whatever a test
// writes there) for the hardware service's class id.
class TestRegistry {
 public:
  TestRegistry();
  ~TestRegistry();
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;

  const std::filesystem::path& Dir() const { return FDir; }

  // Registers the test service module; returns its control block, reset.
  TestServiceControl& UseTestService();
  // Registers the given module path (may be missing or no library at all).
  void RegisterModule(const std::string& module);
  // Removes the registration: the class is then not registered.
  void Unregister();

 private:
  std::filesystem::path FDir;
};

}  // namespace velmora::test
