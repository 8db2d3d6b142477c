#pragma once
// The paper's neighbour-selection heuristic: walking the candidates from the
// nearest, a candidate is kept when it is nearer to the base node than to
// every neighbour already kept. Links then point in diverse directions
// instead of crowding into the nearest cluster.
//
// Copies of the base (candidates holding the same vector) are the one case
// the heuristic cannot thin out: each is at distance 0 from the base and
// from every other copy, so none prunes another, and many copies of one
// vector would fill every list with each other and cut themselves off from
// the rest of the graph. So copies take at most half of a list, chosen by a
// hash of the pair rather than by node id, so that every copy keeps some
// links in from its fellows; the rest of the list goes to the heuristic's
// choice among the other candidates, and only room left over goes to more
// copies.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hobrin_ann/core/core.hpp"

namespace hobrin::ann {

namespace detail {

// A well-mixed 64-bit value of a pair of nodes.
inline std::uint64_t pair_hash(std::uint32_t a, std::uint32_t b) noexcept {
  std::uint64_t x = (std::uint64_t{a} << 32) | b;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

}  // namespace detail

// Never stops the heuristic early: it runs through every candidate.
struct RunThrough {
  template <class Kept>
  bool operator()(const Kept&) const noexcept {
    return false;
  }
};

// `candidates` ascend by distance to `base`. When there are no more than
// `max_links` of them, every one is kept: pruning is only for room. Each
// choice depends only on the candidates before it, so a caller that needs
// only the first few choices may end the walk: `done(kept)`, asked after
// each choice where no candidate is a copy of `base`, ends it when true.
template <class Store, class D = typename Store::Distance, class Done = RunThrough>
void select_neighbours(const IndexCore<Store>& core, std::uint32_t base,
                       std::span<const Scored<typename Store::Distance>> candidates, std::size_t max_links,
                       std::vector<Scored<D>>& kept, Done&& done = {}) {
  kept.clear();
  if (candidates.size() <= max_links) {
    kept.assign(candidates.begin(), candidates.end());
    return;
  }
  const std::size_t copy_quota = std::max<std::size_t>(1, max_links / 2);
  // A copy is as far from the base as the base from itself; only then are
  // the rows compared, so other candidates' rows are not read.
  const D self = core.store.score_pair(base, base);
  auto is_copy = [&](const Scored<D>& c) { return c.distance == self && core.store.identical(c.node, base); };
  auto later_by_hash = [base](const Scored<D>& a, const Scored<D>& b) {  // a before b
    return detail::pair_hash(base, a.node) < detail::pair_hash(base, b.node);
  };
  // The copies with the smallest hashes, gathered in a max-heap by hash at
  // the front of `kept` (its room is max_links + 1).
  std::size_t copies = 0;
  for (const Scored<D>& candidate : candidates) {
    if (!is_copy(candidate)) continue;
    kept.push_back(candidate);
    std::push_heap(kept.begin(), kept.end(), later_by_hash);
    if (kept.size() > copy_quota) {
      std::pop_heap(kept.begin(), kept.end(), later_by_hash);
      kept.pop_back();
    }
    ++copies;
  }
  for (const Scored<D>& candidate : candidates) {
    if (kept.size() >= max_links) break;
    if (copies != 0 && is_copy(candidate)) continue;
    bool diverse = true;
    for (Scored<D>& neighbour : kept) {
      if (core.store.score_pair(candidate.node, neighbour.node) < candidate.distance) {
        diverse = false;
        // Of copies of one other vector, the list keeps one: which one, the
        // hash decides, so that links spread over all the copies.
        if (candidate.distance == neighbour.distance && later_by_hash(candidate, neighbour) &&
            core.store.identical(candidate.node, neighbour.node)) {
          neighbour = candidate;
        }
        break;
      }
    }
    if (diverse) {
      kept.push_back(candidate);
      if (copies == 0 && done(kept)) return;
    }
  }
  if (copies <= copy_quota) return;
  for (const Scored<D>& candidate : candidates) {
    if (kept.size() >= max_links) break;
    if (!is_copy(candidate)) continue;
    const bool taken =
        std::any_of(kept.begin(), kept.end(), [&](const Scored<D>& k) { return k.node == candidate.node; });
    if (!taken) kept.push_back(candidate);
  }
}

}  // namespace hobrin::ann
