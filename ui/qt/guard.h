#pragma once

#include <utility>

namespace velmora::qt {

// Shows a failure that escaped an entry from the event loop (mouse grab released,
// silent aborts dropped, an error box otherwise); the program carries on.
void ReportCurrentFailure() noexcept;

// Every call the event loop makes into the program's handlers goes through here,
// so no exception travels through the toolkit's own frames.
template <class F>
bool Guarded(F&& handler) noexcept {
  try {
    std::forward<F>(handler)();
    return true;
  } catch (...) {
    ReportCurrentFailure();
    return false;
  }
}

}  // namespace velmora::qt
