#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/failure.h"

namespace velmora::server {

// An open audit log: lines for every text the service receives, appended whole
// under an exclusive lock, so that processes sharing the file never interleave.
// A line reads, tab-separated:
//   <UTC time, ISO 8601 with milliseconds> <user> <operation> <started | ok | failed: description> <text>
// "started" is written before the text runs, so a text that hangs or whose
// process is killed still has its line; its outcome follows. Description and text
// are escaped so that a line is one text and shows all it holds (the forms are
// listed in hardware-service.conf(5)).
class AuditLog {
 public:
  // Opens the log at path for appending, creating it readable by its owner and
  // group. Fails when it cannot be opened or is no regular file.
  static Status Open(const std::string& path, std::optional<AuditLog>& log);

  AuditLog(AuditLog&& other) noexcept;
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;
  AuditLog& operator=(AuditLog&& other) noexcept;
  ~AuditLog();

  // The outcome of a text that is about to run.
  static const Status kStarted;

  // Appends the line for text received by operation, which ended in outcome
  // (nullptr: ok; &kStarted: about to run). With sync the line is on disk when this returns. Fails when the
  // whole line could not be written.
  Status Append(std::string_view operation, const Status* outcome, std::u16string_view text, bool sync);

  // The user the lines name from now on, when the host serves someone else (a
  // local server's peer); by default the process's effective user.
  void SetCaller(std::string user) { FCaller = std::move(user); }

 private:
  AuditLog(int fd, std::string path) : FFd(fd), FPath(std::move(path)) {}
  Status WriteFailure(int error) const;

  int FFd;  // owned; -1 once moved from
  std::string FPath;
  std::string FCaller;
};

}  // namespace velmora::server
