#include "service/registry.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "service/trusted_file.h"

namespace velmora {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A registration that is not used says why on the process's error output: the
// caller only learns that the class is not registered.
void Note(const std::string& text) { std::fprintf(stderr, "velmora: %s\n", text.c_str()); }

void AddList(std::vector<std::filesystem::path>& out, const std::string& list, const char* suffix) {
  std::stringstream parts(list);
  std::string part;
  while (std::getline(parts, part, ':')) {
    if (part.empty()) continue;
    // Relative entries are ignored in XDG lists, as the basedir rules say; in
    // VELMORA_REGISTRY they would depend on the folder the program was started in.
    if (part.front() != '/') {
      if (suffix == nullptr) Note("VELMORA_REGISTRY entry '" + part + "' is not an absolute path and was skipped");
      continue;
    }
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
    std::string text;
    std::string reason;
    const SettingsFileRead read = ReadSettingsFile(file, text, reason);
    if (read == SettingsFileRead::Missing) continue;
    if (read == SettingsFileRead::Skipped) {
      Note(reason);
      continue;
    }
    ClassRegistration registration;
    registration.File = file;
    // A registration that cannot be read whole names no server: the class is not
    // served rather than served by whatever a later file names.
    const auto unusable = [&](const std::string& why) {
      Note(why);
      registration.InprocServer.clear();
      return registration;
    };
    if (read == SettingsFileRead::Failed) return unusable(reason);
    std::map<std::string, std::size_t> seen;  // key -> its line
    std::stringstream lines(text);
    std::string line;
    for (std::size_t number = 1; std::getline(lines, line); ++number) {
      const std::string where = file.string() + " line " + std::to_string(number) + ": ";
      if (line.find('\0') != std::string::npos) return unusable(where + "the line holds a NUL character");
      line = Trim(line);
      if (line.empty() || line.front() == '#' || line.front() == ';') continue;
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = Trim(line.substr(0, eq));
      const std::string value = Trim(line.substr(eq + 1));
      if (const auto [it, added] = seen.emplace(key, number); !added) {
        return unusable(where + key + " is set again (first on line " + std::to_string(it->second) + ")");
      }
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
