#pragma once
// Repair after removal: a live node whose list leads to removed nodes gets a
// new list, chosen by the neighbour-selection heuristic among its live links
// and the live nodes the removed ones led to (one more hop through removed
// neighbours of those), so that searches no longer pass through removed
// nodes and the node keeps links towards where they led. Once no live list
// leads to a removed node, its slot can be freed and reused.
#include <algorithm>
#include <cstdint>

#include "hobrin_ann/insert/select_neighbours.hpp"

namespace hobrin::ann {

namespace detail {

// Offers the live nodes `removed` leads to on `level` as candidates for
// `node`'s list, and those one hop further through removed ones when `hops`
// allows. The pool stops growing at its reserved room, so nothing allocates.
template <class Store>
void gather_through(const IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node,
                    std::uint32_t removed, int level, int hops) {
  for (const std::uint32_t next : core.graph.links(removed, level)) {
    if (!s.visited.insert(next)) continue;
    if (core.is_removed(next)) {
      if (hops > 0) gather_through(core, s, node, next, level, hops - 1);
    } else if (s.pool.size() < s.pool.capacity()) {
      s.pool.push_back({core.store.score_pair(node, next), next});
    }
  }
}

}  // namespace detail

// Rewrites `node`'s lists that lead to removed nodes. The caller is the only
// writer of lists; searches may read them meanwhile, so a list is written
// under its lock. Lists of removed nodes are read but never written here.
template <class Store>
void repair_node(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node) {
  for (int level = 0; level <= core.graph.level(node); ++level) {
    const auto list = core.graph.links(node, level);
    auto removed = [&core](std::uint32_t to) { return core.is_removed(to); };
    if (std::none_of(list.begin(), list.end(), removed)) continue;
    s.visited.start();
    s.visited.insert(node);
    s.pool.clear();
    for (const std::uint32_t to : list) {
      s.visited.insert(to);
      if (!removed(to)) s.pool.push_back({core.store.score_pair(node, to), to});
    }
    for (const std::uint32_t to : list) {
      if (removed(to)) detail::gather_through(core, s, node, to, level, 1);
    }
    std::sort(s.pool.begin(), s.pool.end());
    select_neighbours<Store>(core, node, s.pool, core.graph.max_links(level), s.kept);
    auto held = core.link_locks.hold(node, true);
    core.graph.set_links(node, level, s.kept, [](const auto& kept) { return kept.node; });
  }
}

}  // namespace hobrin::ann
