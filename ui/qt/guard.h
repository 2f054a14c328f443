#pragma once

#include <utility>

#include "app/application.h"

namespace velmora::qt {

// How this front end releases the mouse and shows an error box.
FailurePlatform& Platform();

// Runs an entry from the event loop; a failure is reported and false returned.
template <class F>
bool Guarded(F&& handler) noexcept {
  return velmora::Guarded(std::forward<F>(handler), Platform());
}

}  // namespace velmora::qt
