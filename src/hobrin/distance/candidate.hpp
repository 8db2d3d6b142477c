#pragma once
// The (distance, node id) pair that both indexes rank, and the order they share:
// smaller distance first, NaN after every number (NaN equals NaN), equal
// distances by ascending id. -0.0 and +0.0 compare equal.
#include <cmath>
#include <cstdint>

namespace hobrin {

using NodeId = std::uint64_t;

struct Candidate {
  double distance;
  NodeId id;
};

// Three-way comparison of distances with NaN ranking last: -1, 0 or +1.
inline int compare_distance(double a, double b) noexcept {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan || b_nan) return static_cast<int>(a_nan) - static_cast<int>(b_nan);
  return (a > b) - (a < b);
}

// True when `a` ranks strictly before `b`.
inline bool ranks_before(const Candidate& a, const Candidate& b) noexcept {
  const int by_distance = compare_distance(a.distance, b.distance);
  return by_distance != 0 ? by_distance < 0 : a.id < b.id;
}

}  // namespace hobrin
