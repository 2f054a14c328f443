#pragma once
// The failure guard of the native front end: every call the message loop makes
// into the program's handlers goes through Guarded, so no exception travels
// through the system's own frames.

#include <utility>

#include "app/application.h"

namespace velmora::winui {

// How this front end releases the mouse and shows an error box.
FailurePlatform& Platform();

// Runs an entry from the event loop; a failure is reported and false returned.
template <class F>
bool Guarded(F&& handler) noexcept {
  return velmora::Guarded(std::forward<F>(handler), Platform());
}

}  // namespace velmora::winui
