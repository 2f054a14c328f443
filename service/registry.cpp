#include "service/registry.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmora {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void AddList(std::vector<std::filesystem::path>& out, const std::string& list, const char* suffix) {
  std::stringstream parts(list);
  std::string part;
  while (std::getline(parts, part, ':')) {
    // Relative entries are ignored in XDG lists, as the basedir rules say.
    if (part.empty() || (suffix != nullptr && part.front() != '/')) continue;
    out.emplace_back(suffix ? std::filesystem::path(part) / suffix : std::filesystem::path(part));
  }
}

std::string Trim(std::string s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::filesystem::path> RegistrySearchPath() {
  constexpr const char* kClasses = "velmora/classes";
  std::vector<std::filesystem::path> dirs;
  AddList(dirs, Env("VELMORA_REGISTRY"), nullptr);
  const std::string home = Env("HOME");
  const std::string configHome = Env("XDG_CONFIG_HOME");
  const std::string dataHome = Env("XDG_DATA_HOME");
  if (!configHome.empty() && configHome.front() == '/') {
    dirs.emplace_back(std::filesystem::path(configHome) / kClasses);
  } else if (!home.empty()) {
    dirs.emplace_back(std::filesystem::path(home) / ".config" / kClasses);
  }
  if (!dataHome.empty() && dataHome.front() == '/') {
    dirs.emplace_back(std::filesystem::path(dataHome) / kClasses);
  } else if (!home.empty()) {
    dirs.emplace_back(std::filesystem::path(home) / ".local/share" / kClasses);
  }
  const std::string configDirs = Env("XDG_CONFIG_DIRS");
  AddList(dirs, configDirs.empty() ? "/etc/xdg" : configDirs, kClasses);
  const std::string dataDirs = Env("XDG_DATA_DIRS");
  AddList(dirs, dataDirs.empty() ? "/usr/local/share:/usr/share" : dataDirs, kClasses);
  return dirs;
}

std::string RegistrationFileName(const Guid& clsid) {
  const std::string braced = clsid.ToString();
  return braced.substr(1, braced.size() - 2) + ".class";
}

std::optional<ClassRegistration> FindClassRegistration(const Guid& clsid) {
  const std::string name = RegistrationFileName(clsid);
  for (const std::filesystem::path& dir : RegistrySearchPath()) {
    const std::filesystem::path file = dir / name;
    std::ifstream in(file);
    if (!in) continue;
    ClassRegistration registration;
    registration.File = file;
    std::string line;
    while (std::getline(in, line)) {
      line = Trim(line);
      if (line.empty() || line.front() == '#' || line.front() == ';') continue;
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = Trim(line.substr(0, eq));
      const std::string value = Trim(line.substr(eq + 1));
      if (key == "InprocServer" && !value.empty()) {
        std::filesystem::path module(value);
        registration.InprocServer = module.is_absolute() ? module : dir / module;
      } else if (key == "LocalServer" && !value.empty() && value.front() == '/') {
        // A socket is a fixed place of the system, never relative to the file.
        registration.LocalServer = value;
      }
    }
    return registration;
  }
  return std::nullopt;
}

std::string RegistrationText(const std::string& module, const std::string& description) {
  return "# " + description + "\nInprocServer=" + module + "\n";
}

std::string LocalServerRegistrationText(const std::string& socket, const std::string& description) {
  return "# " + description + "\nLocalServer=" + socket + "\n";
}

}  // namespace velmora
