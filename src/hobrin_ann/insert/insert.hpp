#pragma once
// Linking one stored node into the graph, as in the paper: descend greedily
// from the entry point to the node's level, then on each layer from there
// down to 0 search with ef_construction candidates, link the node to the
// neighbours the heuristic selects (m of them), and link each back, shrinking
// a full list with the same heuristic.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <span>

#include "hobrin_ann/insert/select_neighbours.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

namespace detail {

// Rewrites `base`'s list on `level` as the heuristic's choice among s.pool
// (nodes with their distances to `base`), at most the level's capacity.
template <class Store>
void shrink_into(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t base, int level) {
  std::sort(s.pool.begin(), s.pool.end());
  // s.selected holds the new node's own choice, which the caller is walking.
  select_neighbours<Store>(core, base, s.pool, core.graph.max_links(level), s.kept);
  core.graph.set_links(base, level, s.kept, [](const auto& kept) { return kept.node; });
}

// Adds `node` to `neighbour`'s list on `level`, unless it is there already
// (a parallel insertion may have linked the two the other way first).
template <class Store, bool locked, class D = typename Store::Distance>
void link_back(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t neighbour, Scored<D> node,
               int level) {
  auto held = core.link_locks.hold(neighbour, locked);
  const auto list = core.graph.links(neighbour, level);
  if (locked && std::find(list.begin(), list.end(), node.node) != list.end()) return;
  if (list.size() < core.graph.max_links(level)) {
    core.graph.slots(neighbour, level)[list.size()] = node.node;
    return;
  }
  s.pool.assign(1, node);
  for (const std::uint32_t linked : list)
    s.pool.push_back({core.store.score_pair(neighbour, linked), linked});
  shrink_into(core, s, neighbour, level);
}

// Sets the new node's list on `level`. In a parallel insertion, nodes that
// reached this one through an upper layer may have linked to it already:
// their links are kept beside the chosen ones, within the list's capacity.
template <class Store, bool locked, class D = typename Store::Distance>
void set_links(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node, int level,
               std::span<const Scored<typename Store::Distance>> neighbours) {
  auto held = core.link_locks.hold(node, locked);
  const auto present = core.graph.links(node, level);
  if (present.empty()) {
    core.graph.set_links(node, level, neighbours, [](const auto& chosen) { return chosen.node; });
    return;
  }
  s.pool.assign(neighbours.begin(), neighbours.end());
  for (const std::uint32_t linked : present) {
    const bool chosen = std::any_of(neighbours.begin(), neighbours.end(),
                                    [linked](const auto& n) { return n.node == linked; });
    if (!chosen) s.pool.push_back({core.store.score_pair(node, linked), linked});
  }
  shrink_into(core, s, node, level);
}

}  // namespace detail

// `locked`: lists are written under their locks, for searches (and other
// insertions) that read them meanwhile. `read_locked`: lists are read under
// them too, as they must be while other insertions write; an insertion that
// is the only writer reads its own writes and skips those locks and copies.
template <class Store, bool locked, bool read_locked = locked>
void insert_node(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node) {
  const int level = core.graph.level(node);
  using D = typename Store::Distance;
  const auto vector = core.store.stored(node, s.query);
  std::uint32_t entry;
  int top;
  {
    std::unique_lock guard(core.entry_mutex, std::defer_lock);
    if constexpr (locked) guard.lock();
    entry = core.entry_point;
    top = core.top_level;
    if (entry == kNoNode) {
      core.entry_point = node;
      core.top_level = level;
      return;
    }
  }

  Scored<D> nearest{core.store.score(vector, entry), entry};
  for (int l = top; l > level; --l) nearest = greedy_closest<Store, read_locked>(core, s, vector, nearest, l);

  auto admit_all = [](std::uint32_t) { return true; };
  begin_layer_search(s, std::span<const Scored<D>>(&nearest, 1), node, admit_all);
  for (int l = std::min(top, level); l >= 0; --l) {
    // Copies of one vector take at most m places: the node links to no more.
    search_layer<Store, read_locked>(core, s, vector, l, core.options.ef_construction, admit_all, SIZE_MAX,
                                     core.graph.m());
    std::sort_heap(s.results.begin(), s.results.end());
    select_neighbours<Store>(core, node, s.results, core.graph.m(), s.selected);
    detail::set_links<Store, locked>(core, s, node, l, s.selected);
    for (const Scored<D>& neighbour : s.selected) {
      detail::link_back<Store, locked>(core, s, neighbour.node, {neighbour.distance, node}, l);
    }
    // The next layer's search starts from everything this one found.
    s.pool.assign(s.results.begin(), s.results.end());
    begin_layer_search(s, std::span<const Scored<D>>(s.pool), node, admit_all);
  }

  if (level > top) {
    std::unique_lock guard(core.entry_mutex, std::defer_lock);
    if constexpr (locked) guard.lock();
    if (level > core.top_level) {
      core.entry_point = node;
      core.top_level = level;
    }
  }
}

}  // namespace hobrin::ann
