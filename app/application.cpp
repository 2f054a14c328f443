#include "app/application.h"

namespace velmora {

std::string WithFullStop(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    message += '.';
  }
  return message;
}

std::optional<std::string> FailureText(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Abort&) {
    return std::nullopt;
  } catch (const std::exception& e) {
    return WithFullStop(e.what());
  } catch (...) {
    return WithFullStop("Unknown failure");
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
