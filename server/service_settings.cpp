#include "server/service_settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace velmora::server {
namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigName = "velmora/hardware-service.conf";
constexpr int kMaxBusyTimeoutMs = 10 * 60 * 1000;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string HomeDir() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  // A service started without HOME (a system unit) still has a passwd entry.
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

// An XDG base directory: the variable when it holds an absolute path, else the
// default below the home directory.
fs::path XdgHome(const char* variable, const char* homeRelative) {
  const std::string value = Env(variable);
  if (!value.empty() && value.front() == '/') return value;
  const std::string home = HomeDir();
  return home.empty() ? fs::path() : fs::path(home) / homeRelative;
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

// What the configuration files say; a key not set by any file stays empty.
struct FileValues {
  std::optional<std::string> Database;
  std::optional<std::string> Odbc;
  std::optional<std::string> AuditLog;
  std::string Problem;
};

// Reads one configuration file into the keys not yet set by a more important one.
// A file that does not exist is skipped; one that exists but cannot be read, or
// holds a line we do not understand, makes the whole configuration unusable: a
// service that silently ignored its audit_log line would be worse than one that
// refuses to work.
void ReadConfigFile(const fs::path& file, FileValues& values) {
  std::FILE* in = std::fopen(file.c_str(), "r");
  if (in == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR) {
      values.Problem = "cannot read the configuration file " + file.string() + ": " + std::strerror(errno);
    }
    return;
  }
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  const bool readError = std::ferror(in) != 0;
  std::fclose(in);
  if (readError) {
    values.Problem = "cannot read the configuration file " + file.string();
    return;
  }

  std::optional<std::string> database;
  std::optional<std::string> odbc;
  std::optional<std::string> auditLog;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = file.string() + " line " + std::to_string(lineNumber) + ": ";
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
      values.Problem = where + "expected 'key = value'";
      return;
    }
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    // Relative paths are taken from the file's own directory, not from wherever
    // the client happened to be started.
    const std::string path = value.empty() ? std::string() : (file.parent_path() / value).lexically_normal().string();
    if (key == "database") {
      if (value.empty()) {
        values.Problem = where + "database needs a file name";
        return;
      }
      database = path;
    } else if (key == "odbc") {
      // A connection string, taken as written: it is no file name.
      if (value.empty()) {
        values.Problem = where + "odbc needs a connection string";
        return;
      }
      odbc = std::string(value);
    } else if (key == "audit_log") {
      auditLog = path;  // empty: no audit log
    } else {
      values.Problem = where + "unknown key '" + std::string(key) + "' (known keys: database, odbc, audit_log)";
      return;
    }
  }
  if (database && odbc) {
    values.Problem = file.string() + ": database and odbc are both set; a configuration names one database";
    return;
  }
  // The database is one setting, whichever key names it: a user's file that names
  // an SQLite file overrides a site-wide ODBC connection, and the other way round.
  if (!values.Database && !values.Odbc) {
    values.Database = database;
    values.Odbc = odbc;
  }
  if (!values.AuditLog) values.AuditLog = auditLog;
}

FileValues ReadConfigFiles() {
  std::vector<fs::path> files;
  if (const fs::path home = XdgHome("XDG_CONFIG_HOME", ".config"); !home.empty()) files.push_back(home / kConfigName);
  std::string dirs = Env("XDG_CONFIG_DIRS");
  if (dirs.empty()) dirs = "/etc/xdg";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    // Relative entries are ignored, as the base directory rules say.
    if (!dir.empty() && dir.front() == '/') files.push_back(fs::path(dir) / kConfigName);
  }
  FileValues values;
  for (const fs::path& file : files) {
    ReadConfigFile(file, values);
    if (!values.Problem.empty()) break;
  }
  return values;
}

const FileValues& ConfigFileValues() {
  static std::once_flag once;
  static FileValues values;
  std::call_once(once, [] { values = ReadConfigFiles(); });
  return values;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

ServiceSettings CurrentSettings() {
  const FileValues& files = ConfigFileValues();
  ServiceSettings settings;
  settings.Problem = files.Problem;

  const std::string odbc = Env("VELMORA_ODBC");
  if (std::string database = Env("VELMORA_DATABASE"); !database.empty()) {
    settings.Database = Absolute(database);
    if (!odbc.empty() && settings.Problem.empty()) {
      settings.Problem = "VELMORA_DATABASE and VELMORA_ODBC are both set; the environment names one database";
    }
  } else if (!odbc.empty()) {
    settings.Odbc = odbc;
  } else if (files.Database) {
    settings.Database = *files.Database;
  } else if (files.Odbc) {
    settings.Odbc = *files.Odbc;
  } else if (const fs::path data = XdgHome("XDG_DATA_HOME", ".local/share"); !data.empty()) {
    settings.Database = (data / "velmora/controllers.db").string();
  } else if (settings.Problem.empty()) {
    settings.Problem = "no database is configured and there is no home directory for the default one";
  }

  if (std::string audit = Env("VELMORA_AUDIT_LOG"); !audit.empty()) {
    settings.AuditLog = Absolute(audit);
  } else if (files.AuditLog) {
    settings.AuditLog = *files.AuditLog;
  }

  if (const std::string timeout = Env("VELMORA_BUSY_TIMEOUT_MS"); !timeout.empty()) {
    int value = -1;
    const auto [end, ec] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), value);
    if (ec != std::errc() || end != timeout.data() + timeout.size() || value < 0 || value > kMaxBusyTimeoutMs) {
      if (settings.Problem.empty()) {
        settings.Problem = "VELMORA_BUSY_TIMEOUT_MS must be a number of milliseconds from 0 to " +
                           std::to_string(kMaxBusyTimeoutMs) + ", not '" + timeout + "'";
      }
    } else {
      settings.BusyTimeoutMs = value;
    }
  }
  if (const std::string timeout = Env("VELMORA_STATEMENT_TIMEOUT_MS"); !timeout.empty()) {
    int value = -1;
    const auto [end, ec] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), value);
    if (ec != std::errc() || end != timeout.data() + timeout.size() || value < 1 || value > 24 * 60 * 60 * 1000) {
      if (settings.Problem.empty()) {
        settings.Problem = "VELMORA_STATEMENT_TIMEOUT_MS must be a number of milliseconds from 1 to 86400000, not '" +
                           timeout + "'";
      }
    } else {
      settings.StatementTimeoutMs = value;
    }
  }
  return settings;
}

}  // namespace velmora::server
