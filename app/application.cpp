#include "app/application.h"

#include "service/utf.h"

namespace velmora {

std::string WithFullStop(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    message += '.';
  }
  return message;
}

std::string MessageForDisplay(std::string_view message) {
  const std::string clean = SanitizeUtf8(message);
  std::string out;
  out.reserve(clean.size());
  for (std::size_t i = 0; i < clean.size(); ++i) {
    const char c = clean[i];
    if (c == '\r') {
      out += '\n';
      if (i + 1 < clean.size() && clean[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += '\n';
    } else {
      out += WithVisibleControls(std::string_view(&clean[i], 1));
    }
  }
  return out;
}

std::optional<std::string> FailureText(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Abort&) {
    return std::nullopt;
  } catch (const std::exception& e) {
    return MessageForDisplay(WithFullStop(e.what()));
  } catch (...) {
    return MessageForDisplay(WithFullStop("Unknown failure"));
  }
}

void ReportFailure(std::exception_ptr failure, FailurePlatform& platform) {
  platform.CancelMouseCapture();
  if (const std::optional<std::string> text = FailureText(failure)) {
    platform.ShowErrorBox(std::string(kApplicationTitle), *text);
  }
}

void ReportCurrentFailure(FailurePlatform& platform) noexcept {
  try {
    ReportFailure(std::current_exception(), platform);
  } catch (...) {
  }
}

}  // namespace velmora
