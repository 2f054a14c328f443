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
  // Nothing, with failure set, when it cannot be opened.
  static std::optional<AuditLog> Open(const std::string& path, Failure& failure);

  AuditLog(AuditLog&& other) noexcept;
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;
  AuditLog& operator=(AuditLog&& other) noexcept;
  ~AuditLog();

  // Appends the line for text received by operation, which ended in outcome
  // (nullptr: ok). With sync the line is on disk when this returns. False, with
  // failure set, when the whole line could not be written.
  bool Append(std::string_view operation, const Failure* outcome, std::u16string_view text, bool sync,
              Failure& failure);

  // The user the lines name from now on, when the host serves someone else (a
  // local server's peer); by default the process's effective user.
  void SetCaller(std::string user) { FCaller = std::move(user); }

 private:
  AuditLog(int fd, std::string path) : FFd(fd), FPath(std::move(path)) {}
  Failure WriteFailure(int error) const;

  int FFd;  // owned; -1 once moved from
  std::string FPath;
  std::string FCaller;
};

}  // namespace velmora::server
