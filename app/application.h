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

// A message as every box shows it, as plain text: ill-formed UTF-8 becomes U+FFFD,
// and each control character its visible symbol (as in the grid's cells), except
// line breaks, which stay line breaks (CR LF and a lone CR become LF). Nothing in
// the text is markup, whatever it holds.
std::string MessageForDisplay(std::string_view message);

// The text the failure reporter shows for a failure, or nothing for a silent abort:
// its message with a full stop as WithFullStop adds it, made safe by MessageForDisplay.
std::optional<std::string> FailureText(std::exception_ptr failure);

// What the failure reporter needs from the platform.
class FailurePlatform {
 public:
  virtual void CancelMouseCapture() = 0;
  // A modal error box: caption, text, stop icon, one OK button. The text is plain
  // text, as FailureText made it: the box shows it exactly, never as markup.
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
