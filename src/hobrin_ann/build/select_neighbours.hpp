#pragma once
// The paper's neighbour-selection heuristic: walking the candidates from the
// nearest, a candidate is kept when it is nearer to the base node than to
// every neighbour already kept. Links then point in diverse directions
// instead of crowding into the nearest cluster.
#include <cstddef>
#include <span>
#include <vector>

#include "hobrin_ann/index/core.hpp"

namespace hobrin::ann {

// `candidates` ascend by distance to the base node. When there are no more
// than `max_links` of them, every one is kept: pruning is only for room.
template <class T>
void select_neighbours(const IndexCore<T>& core, std::span<const Scored<T>> candidates, std::size_t max_links,
                       std::vector<Scored<T>>& kept) {
  kept.clear();
  if (candidates.size() <= max_links) {
    kept.assign(candidates.begin(), candidates.end());
    return;
  }
  for (const Scored<T>& candidate : candidates) {
    if (kept.size() >= max_links) break;
    bool diverse = true;
    for (const Scored<T>& neighbour : kept) {
      if (core.distance(candidate.node, neighbour.node) < candidate.distance) {
        diverse = false;
        break;
      }
    }
    if (diverse) kept.push_back(candidate);
  }
}

}  // namespace hobrin::ann
