#pragma once
// Capacity growth shared by the index's arrays: by half again at least, so a
// run of small additions costs amortised constant time per element.
#include <algorithm>
#include <cstddef>

namespace hobrin::ann {

inline std::size_t grown_capacity(std::size_t capacity, std::size_t needed) noexcept {
  return needed <= capacity ? capacity : std::max(needed, capacity + capacity / 2);
}

// `exact`: room for `needed` and no more (room that is needed only for a
// while, such as an upsert's, whose replaced vectors free as many slots).
template <class Vector>
void reserve_for(Vector& vector, std::size_t needed, bool exact = false) {
  vector.reserve(exact ? needed : grown_capacity(vector.capacity(), needed));
}

}  // namespace hobrin::ann
