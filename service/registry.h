#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "service/guid.h"

namespace velmora {

// Where a class is registered and what serves it.
struct ClassRegistration {
  std::filesystem::path File;          // the registration file that was found
  std::filesystem::path InprocServer;  // absolute path of the module; empty when none
  std::filesystem::path LocalServer;   // absolute path of the local server's socket; empty when none
};

// The directories searched for registrations, in order: each entry of
// $VELMORA_REGISTRY, then $XDG_CONFIG_HOME/velmora/classes, $XDG_DATA_HOME/velmora/classes,
// and velmora/classes below each of $XDG_CONFIG_DIRS and $XDG_DATA_DIRS.
std::vector<std::filesystem::path> RegistrySearchPath();

// The registration file name of a class: "72D2BD55-66FA-11D4-A097-0050DAC21168.class".
std::string RegistrationFileName(const Guid& clsid);

// The first registration of clsid on the search path, or nothing.
std::optional<ClassRegistration> FindClassRegistration(const Guid& clsid);

// The text of a registration file naming the socket of a local server.
std::string LocalServerRegistrationText(const std::string& socket, const std::string& description);

// The text of a registration file naming module (relative paths are taken from the
// registration's own directory).
std::string RegistrationText(const std::string& module, const std::string& description);

}  // namespace velmora
