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

#include "index/search_layer.hpp"
#include "index/select_neighbours.hpp"

namespace hobrin::ann {

namespace detail {

// Adds `node` to `neighbour`'s list on `level`.
template <class T, bool locked>
void link_back(IndexCore<T>& core, Scratch<T>& s, std::uint32_t neighbour, Scored<T> node, int level) {
  auto held = core.link_locks.hold(neighbour, locked);
  const auto list = core.graph.links(neighbour, level);
  const std::size_t max_links = core.graph.max_links(level);
  if (list.size() < max_links) {
    core.graph.slots(neighbour, level)[list.size()] = node.node;
    return;
  }
  s.pool.clear();
  s.pool.push_back(node);
  for (const std::uint32_t linked : list) s.pool.push_back({core.distance(neighbour, linked), linked});
  std::sort(s.pool.begin(), s.pool.end());
  // s.selected holds the new node's own choice, which the caller is walking.
  select_neighbours<T>(core, s.pool, max_links, s.kept);
  core.graph.set_links(neighbour, level, s.kept, [](const Scored<T>& kept) { return kept.node; });
}

template <class T, bool locked>
void set_links(IndexCore<T>& core, std::uint32_t node, int level, std::span<const Scored<T>> neighbours) {
  auto held = core.link_locks.hold(node, locked);
  core.graph.set_links(node, level, neighbours, [](const Scored<T>& chosen) { return chosen.node; });
}

}  // namespace detail

template <class T, bool locked>
void insert_node(IndexCore<T>& core, Scratch<T>& s, std::uint32_t node) {
  const int level = core.graph.level(node);
  const T* vector = core.vectors.row(node);
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

  Scored<T> nearest{core.distance(vector, entry), entry};
  for (int l = top; l > level; --l) nearest = greedy_closest<T, locked>(core, s, vector, nearest, l);

  auto admit_all = [](std::uint32_t) { return true; };
  begin_layer_search<T>(s, std::span<const Scored<T>>(&nearest, 1), node, admit_all);
  for (int l = std::min(top, level); l >= 0; --l) {
    search_layer<T, locked>(core, s, vector, l, core.options.ef_construction, admit_all);
    std::sort_heap(s.results.begin(), s.results.end());
    select_neighbours<T>(core, s.results, core.graph.m(), s.selected);
    detail::set_links<T, locked>(core, node, l, s.selected);
    for (const Scored<T>& neighbour : s.selected) {
      detail::link_back<T, locked>(core, s, neighbour.node, {neighbour.distance, node}, l);
    }
    // The next layer's search starts from everything this one found.
    s.pool.assign(s.results.begin(), s.results.end());
    begin_layer_search<T>(s, std::span<const Scored<T>>(s.pool), node, admit_all);
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
