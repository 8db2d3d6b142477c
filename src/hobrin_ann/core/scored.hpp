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

// `Scored{distance, node}` names its T by itself: compilers without
// deduction for aggregates (clang before 17) need the guide spelled out.
template <class T>
Scored(T, std::uint32_t) -> Scored<T>;

}  // namespace hobrin::ann
