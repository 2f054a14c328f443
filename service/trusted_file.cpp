#include "service/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora {
namespace {

// Why an inode could have been written by someone other than this process's user
// and root; "" when it could not. A group may write when it is the user's own
// group. A directory with the sticky bit lets others add files, not replace ours.
std::string Writers(const struct stat& info) {
  const uid_t self = geteuid();
  if (info.st_uid != self && info.st_uid != 0) return "it belongs to user " + std::to_string(info.st_uid);
  if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0) return "";
  if ((info.st_mode & S_IWOTH) != 0) return "it is writable by every user";
  if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != getegid()) {
    return "it is writable by the group " + std::to_string(info.st_gid);
  }
  return "";
}

}  // namespace

SettingsFileRead ReadSettingsFile(const std::filesystem::path& file, std::string& text, std::string& reason) {
  text.clear();
  reason.clear();
  const std::string name = file.string();
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return SettingsFileRead::Missing;
    reason = "cannot read " + name + ": " + std::strerror(errno);
    return SettingsFileRead::Failed;
  }
  struct stat info{};
  const auto finish = [fd](SettingsFileRead outcome) {
    close(fd);
    return outcome;
  };
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    reason = name + " is not a regular file";
    return finish(SettingsFileRead::Failed);
  }
  if (std::string writers = Writers(info); !writers.empty()) {
    reason = name + " was skipped: " + writers;
    return finish(SettingsFileRead::Skipped);
  }
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::canonical(file, error).parent_path();
  for (std::filesystem::path dir = folder; !error && !dir.empty();) {
    struct stat dirInfo{};
    if (stat(dir.c_str(), &dirInfo) == 0) {
      if (std::string writers = Writers(dirInfo); !writers.empty()) {
        reason = name + " was skipped: its folder " + dir.string() + " could be changed by others (" + writers + ")";
        return finish(SettingsFileRead::Skipped);
      }
    }
    const std::filesystem::path parent = dir.parent_path();
    if (parent == dir) break;
    dir = parent;
  }

  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = "cannot read " + name + ": " + std::strerror(errno);
      return finish(SettingsFileRead::Failed);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxSettingsFileBytes) {
      reason = name + " is larger than " + std::to_string(kMaxSettingsFileBytes / 1024) + " KiB";
      text.clear();
      return finish(SettingsFileRead::Failed);
    }
  }
  return finish(SettingsFileRead::Read);
}

}  // namespace velmora
