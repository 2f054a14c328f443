#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "velmora/version.h"

namespace velmora {

inline constexpr std::string_view kApplicationTitle = "Velmora Controller Connection Utility";
inline constexpr std::string_view kVersion = VELMORA_VERSION;
inline constexpr std::string_view kFileDescription = VELMORA_FILE_DESCRIPTION;

// A failure of the silent-abort kind: the reporter drops it without a message.
class Abort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// message with a full stop appended when its last character sorts after ".".
std::string WithFullStop(std::string message);

// The text the failure reporter shows for a failure, or nothing for a silent abort.
std::optional<std::string> FailureText(std::exception_ptr failure);

// What the failure reporter needs from the platform.
class FailurePlatform {
 public:
  virtual void CancelMouseCapture() = 0;
  // A modal error box: caption, text, stop icon, one OK button.
  virtual void ShowErrorBox(const std::string& caption, const std::string& text) = 0;

 protected:
  ~FailurePlatform() = default;
};

// The one place where a failure that escaped a handler is shown; the program then
// carries on.
void ReportFailure(std::exception_ptr failure, FailurePlatform& platform);

// Reports the failure being handled; never throws (a box that cannot be shown has
// nowhere left to go).
void ReportCurrentFailure(FailurePlatform& platform) noexcept;

// Every call the event loop makes into the program's handlers goes through here,
// so no exception travels through a toolkit's own frames. False when the handler
// failed (the failure has been reported).
template <class F>
bool Guarded(F&& handler, FailurePlatform& platform) noexcept {
  try {
    std::forward<F>(handler)();
    return true;
  } catch (...) {
    ReportCurrentFailure(platform);
    return false;
  }
}

}  // namespace velmora
