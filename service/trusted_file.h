#pragma once
// Reading the small settings files that decide which code and which database a
// process uses (registrations, the service's configuration): only regular files,
// never blocking, bounded in size, and only files that nobody but their reader and
// root could have written.

#include <cstddef>
#include <filesystem>
#include <string>

namespace velmora {

inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;

enum class SettingsFileRead {
  Read,     // text holds the file
  Missing,  // there is no such file
  Skipped,  // others could have written it: reason says why; it is not used
  Failed,   // it exists but cannot be used: reason says why
};

// Reads file into text. reason names the file.
SettingsFileRead ReadSettingsFile(const std::filesystem::path& file, std::string& text, std::string& reason);

}  // namespace velmora
