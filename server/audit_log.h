#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/failure.h"

namespace velmora::server {

// An open audit log: one line for every text the service receives, appended whole
// under an exclusive lock, so that processes sharing the file never interleave.
// A line reads, tab-separated:
//   <UTC time, ISO 8601 with milliseconds> <user> <operation> <ok | failed: description> <text>
// where description and text are UTF-8 with CR, LF, tab and backslash written as
// \r \n \t \\ (so that one line is one text, whatever the text holds).
class AuditLog {
 public:
  // Opens the log at path for appending, creating it readable by its owner only.
  // Fails when it cannot be opened.
  static Status Open(const std::string& path, std::optional<AuditLog>& log);

  AuditLog(AuditLog&& other) noexcept;
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;
  AuditLog& operator=(AuditLog&& other) noexcept;
  ~AuditLog();

  // Appends the line for text received by operation, which ended in outcome
  // (nullptr: ok). With sync the line is on disk when this returns. Fails when the
  // whole line could not be written.
  Status Append(std::string_view operation, const Status* outcome, std::u16string_view text, bool sync);

 private:
  AuditLog(int fd, std::string path) : FFd(fd), FPath(std::move(path)) {}
  Status WriteFailure(int error) const;

  int FFd;  // owned; -1 once moved from
  std::string FPath;
};

}  // namespace velmora::server
