#include "server/audit_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
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

void AppendHex(unsigned value, int digits, std::string& out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// The length of the well-formed UTF-8 sequence at text[i] and its code point; 0
// when the bytes there are not one.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  std::size_t length = 0;
  char32_t min = 0;
  if (c < 0x80) {
    point = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = 2, point = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, point = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, point = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

// Characters that would end a line, or change what a reader sees of it, in a
// terminal or an editor: C1 controls, the line and paragraph separators and the
// bidirectional embeddings, overrides and isolates.
bool IsHiddenControl(char32_t point) {
  return (point >= 0x80 && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
         (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

// Writes text so that one line is one text and shows what it holds: backslash,
// CR, LF and tab as \\ \r \n \t; every other C0 control, DEL and each byte that
// is not UTF-8 as \xHH; the characters above as \uHHHH.
void AppendEscaped(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t point = 0;
    const std::size_t length = DecodeUtf8(text, i, point);
    if (length == 0 || point < 0x20 || point == 0x7F || point == '\\') {
      const auto c = static_cast<unsigned char>(text[i]);
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
          out += "\\x";
          AppendHex(c, 2, out);
          break;
      }
      ++i;
      continue;
    }
    if (IsHiddenControl(point)) {
      out += "\\u";
      AppendHex(static_cast<unsigned>(point), 4, out);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
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

const Status AuditLog::kStarted{};

Status AuditLog::Open(const std::string& path, std::optional<AuditLog>& log) {
  // Never through a symbolic link (which could lead the lines into any file the
  // user may write) and never blocking (a FIFO without a reader would hold every
  // operation); only a regular file is a log.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
  const std::string name = "the audit log " + path;
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) return {kAuditLogFailed, name + " is a symbolic link, which the service does not follow"};
    if (error == ENXIO) return {kAuditLogFailed, name + " is not a regular file"};
    return {kAuditLogFailed, name + " cannot be opened: " + std::strerror(error)};
  }
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return {kAuditLogFailed, name + " is not a regular file"};
  }
  log.emplace(AuditLog(fd, path));
  return Status::Ok();
}

AuditLog::AuditLog(AuditLog&& other) noexcept
    : FFd(std::exchange(other.FFd, -1)), FPath(std::move(other.FPath)), FCaller(std::move(other.FCaller)) {}

AuditLog& AuditLog::operator=(AuditLog&& other) noexcept {
  std::swap(FFd, other.FFd);
  std::swap(FPath, other.FPath);
  std::swap(FCaller, other.FCaller);
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
  AppendEscaped(FCaller.empty() ? UserName() : FCaller, line);
  line += '\t';
  line += operation;
  line += '\t';
  if (outcome == nullptr) {
    line += "ok";
  } else if (outcome == &kStarted) {
    line += "started";
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
