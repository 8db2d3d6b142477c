#pragma once
// A fixed limit of an index reached: the call that would pass it is refused and
// the index stays as it was. It derives from std::length_error, so code that
// treats any length error as running out of room still does; unlike a length
// error from a container, its message names the limit for the caller.
#include <stdexcept>

namespace hobrin {

class CapacityExceeded : public std::length_error {
 public:
  using std::length_error::length_error;
};

}  // namespace hobrin
