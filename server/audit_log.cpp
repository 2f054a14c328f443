#include "server/audit_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "service/utf.h"

namespace velmora::server {
namespace {

void AppendEscaped(std::string_view text, std::string& out) {
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c; break;
    }
  }
}

void AppendUtcNow(std::string& out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char buffer[40];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
  out.append(buffer, n);
  std::snprintf(buffer, sizeof buffer, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
  out += buffer;
}

// The user the process acts for: the name of its effective user id, which (unlike
// $USER) the user cannot simply set.
const std::string& UserName() {
  static std::once_flag once;
  static std::string name;
  std::call_once(once, [] {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    const uid_t uid = geteuid();
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name) {
      name = found->pw_name;
    } else {
      name = "uid " + std::to_string(uid);
    }
  });
  return name;
}

}  // namespace

Status AuditLog::Open(const std::string& path, std::optional<AuditLog>& log) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return {kAuditLogFailed, "the audit log " + path + " cannot be opened: " + std::strerror(errno)};
  log.emplace(AuditLog(fd, path));
  return Status::Ok();
}

AuditLog::AuditLog(AuditLog&& other) noexcept : FFd(std::exchange(other.FFd, -1)), FPath(std::move(other.FPath)) {}

AuditLog& AuditLog::operator=(AuditLog&& other) noexcept {
  std::swap(FFd, other.FFd);
  std::swap(FPath, other.FPath);
  return *this;
}

AuditLog::~AuditLog() {
  if (FFd >= 0) close(FFd);
}

Status AuditLog::WriteFailure(int error) const {
  return {kAuditLogFailed, "the audit log " + FPath + " could not be written: " + std::strerror(error)};
}

Status AuditLog::Append(std::string_view operation, const Status* outcome, std::u16string_view text, bool sync) {
  // The whole line is built first and written in one call under the lock, so a
  // reader never sees half a line and two processes never mix theirs.
  std::string line;
  line.reserve(64 + text.size() * 3);
  AppendUtcNow(line);
  line += '\t';
  AppendEscaped(UserName(), line);
  line += '\t';
  line += operation;
  line += '\t';
  if (outcome == nullptr) {
    line += "ok";
  } else {
    line += "failed: ";
    AppendEscaped(outcome->Description, line);
  }
  line += '\t';
  AppendEscaped(Utf16ToUtf8(text), line);
  line += '\n';

  while (flock(FFd, LOCK_EX) != 0) {
    if (errno != EINTR) return WriteFailure(errno);
  }
  int error = 0;
  for (std::size_t written = 0; written < line.size();) {
    const ssize_t n = write(FFd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (error == 0 && sync && fdatasync(FFd) != 0) error = errno;
  flock(FFd, LOCK_UN);
  if (error != 0) return WriteFailure(error);
  return Status::Ok();
}

}  // namespace velmora::server
