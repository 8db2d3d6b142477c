#pragma once
// Reachability after a repair. A repaired list holds the heuristic's choice,
// and the heuristic drops a far candidate whenever a kept neighbour is nearer
// to it, trusting that neighbour to lead on. After removals that trust can
// fail: a region whose in-links all passed through removed nodes (as a
// cluster of recent additions, joined to the rest by a few links) is left
// with no live list leading into it, and no search reaches it again. So each
// layer is walked from the entry point, and a live node the walk misses gets
// in-links from the nearest reached nodes, found by a search for its vector;
// the walk then goes on through it, over the rest of its region.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "hobrin_ann/insert/select_neighbours.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

namespace detail {

// Reached nodes that link to one missed node: two, so that it does not
// hang on a single list that a later removal may rewrite.
inline constexpr std::size_t kBridges = 2;

// A walk of one layer: queue[head..] are reached nodes still to expand.
struct LayerWalk {
  std::vector<std::uint8_t> reached;
  std::vector<std::uint32_t> queue;
  std::size_t head = 0;

  void reach(std::uint32_t node) {
    reached[node] = 1;
    queue.push_back(node);  // each node once a layer: room for all was reserved
  }
};

// Expands the walk until it reaches nothing more on `level`.
template <class Store>
void spread(const IndexCore<Store>& core, LayerWalk& walk, int level) {
  for (; walk.head < walk.queue.size(); ++walk.head) {
    for (const std::uint32_t to : core.graph.links(walk.queue[walk.head], level)) {
      if (walk.reached[to] == 0 && !core.is_removed(to)) walk.reach(to);
    }
  }
}

// Puts `node` in `from`'s list on `level`, in a free slot, or else in place
// of the farthest link the heuristic keeps with it (the only writer is the
// caller; searches read lists under their locks).
template <class Store, class D = typename Store::Distance>
void force_link(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t from, Scored<D> node, int level) {
  auto held = core.link_locks.hold(from, true);
  const auto list = core.graph.links(from, level);
  if (list.size() < core.graph.max_links(level)) {
    core.graph.slots(from, level)[list.size()] = node.node;
    return;
  }
  s.pool.assign(1, node);
  for (const std::uint32_t linked : list) s.pool.push_back({core.store.score_pair(from, linked), linked});
  std::sort(s.pool.begin(), s.pool.end());
  select_neighbours<Store>(core, from, s.pool, core.graph.max_links(level), s.kept);
  const bool kept =
      std::any_of(s.kept.begin(), s.kept.end(), [&](const auto& k) { return k.node == node.node; });
  if (!kept) s.kept.back() = node;
  core.graph.set_links(from, level, s.kept, [](const auto& k) { return k.node; });
}

// Links the missed `node` from the nearest reached nodes of `level`: those of
// the first kBridges that have a free slot, or the nearest one regardless.
template <class Store>
void link_missed(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node, int level) {
  using D = typename Store::Distance;
  const auto vector = core.store.stored(node, s.query);
  Scored<D> nearest{core.store.score(vector, core.entry_point), core.entry_point};
  for (int l = core.top_level; l > level; --l)
    nearest = greedy_closest<Store, true>(core, s, vector, nearest, l);
  auto live = [&core](std::uint32_t n) { return !core.is_removed(n); };
  begin_layer_search(s, std::span<const Scored<D>>(&nearest, 1), node, live);
  search_layer<Store, true>(core, s, vector, level, core.options.ef_construction, live, SIZE_MAX,
                            core.graph.m());
  std::sort_heap(s.results.begin(), s.results.end());
  s.selected.clear();
  for (std::size_t i = 0; i < s.results.size() && i < kBridges; ++i) {
    const auto from = s.results[i].node;
    if (core.graph.links(from, level).size() < core.graph.max_links(level))
      s.selected.push_back(s.results[i]);
  }
  if (s.selected.empty() && !s.results.empty()) s.selected.push_back(s.results.front());
  for (const auto& from : s.selected) force_link(core, s, from.node, {from.distance, node}, level);
}

}  // namespace detail

// After a repair, with no live list leading to a removed node: gives every
// live node that no walk from the entry point reaches an in-link, layer by
// layer. `walk` has room for a byte and a queue entry per node.
template <class Store>
void reconnect_missed(IndexCore<Store>& core, Scratch<Store>& s, detail::LayerWalk& walk) {
  if (core.entry_point == kNoNode) return;
  const std::size_t nodes = core.graph.size();
  for (int level = core.top_level; level >= 0; --level) {
    std::fill(walk.reached.begin(), walk.reached.end(), std::uint8_t{0});
    walk.queue.clear();
    walk.head = 0;
    walk.reach(core.entry_point);
    detail::spread(core, walk, level);
    for (std::size_t node = 0; node < nodes; ++node) {
      const auto n = static_cast<std::uint32_t>(node);
      if (walk.reached[n] != 0 || core.is_removed(n) || core.graph.level(n) < level) continue;
      detail::link_missed(core, s, n, level);
      walk.reach(n);
      detail::spread(core, walk, level);
    }
  }
}

}  // namespace hobrin::ann
