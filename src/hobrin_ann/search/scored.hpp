#pragma once
// A node with its distance to the current query, and the order searches keep:
// nearer first, equal distances by node id, so that results are repeatable.
#include <cstdint>

namespace hobrin::ann {

template <class T>
struct Scored {
  T distance;
  std::uint32_t node;

  friend bool operator<(const Scored& a, const Scored& b) noexcept {
    return a.distance < b.distance || (a.distance == b.distance && a.node < b.node);
  }
  friend bool operator>(const Scored& a, const Scored& b) noexcept { return b < a; }
};

// The kernels never give NaN for finite input, but sums that overflow can;
// ranked as infinitely far, a NaN keeps every comparison a strict order.
template <class T>
inline T rankable(T distance) noexcept {
  return distance == distance ? distance : __builtin_huge_val();
}

}  // namespace hobrin::ann
