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
template <class Store, class D = typename Store::Distance>
void select_neighbours(const IndexCore<Store>& core,
                       std::span<const Scored<typename Store::Distance>> candidates, std::size_t max_links,
                       std::vector<Scored<D>>& kept) {
  kept.clear();
  if (candidates.size() <= max_links) {
    kept.assign(candidates.begin(), candidates.end());
    return;
  }
  for (const Scored<D>& candidate : candidates) {
    if (kept.size() >= max_links) break;
    bool diverse = true;
    for (const Scored<D>& neighbour : kept) {
      if (core.store.score_pair(candidate.node, neighbour.node) < candidate.distance) {
        diverse = false;
        break;
      }
    }
    if (diverse) kept.push_back(candidate);
  }
}

}  // namespace hobrin::ann
