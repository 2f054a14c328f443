#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// A failure of the data layer, with the message the user reads.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmora
