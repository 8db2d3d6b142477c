#pragma once
// Repair after removal: a live node whose list leads to removed nodes keeps
// its live links and adds (twice as many as it lost, at most) the choice of
// the neighbour-selection heuristic among its links and the nodes they led to
// (one more hop through removed neighbours of those), so that searches no
// longer pass through removed nodes and the node keeps links towards where
// they led; a removed node whose way on none of those choices keeps leaves
// one link on through it, room permitting. Repeated repairs then do not
// wear away the few links that join a region to the rest. Once no live list
// leads to a removed node, its slot can be freed and reused.
#include <algorithm>
#include <cstdint>
#include <span>

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

// The heuristic drops a candidate when a kept neighbour is nearer to it,
// trusting that neighbour to lead on; a removed node's links were often the
// only way into a region (a cluster joined to the rest by a few links), and
// that trust then cuts the region off. So when the new list keeps none of a
// removed node's live links, the first of them (its nearest, as lists are
// written) is kept too, while the list has room: a path through a removed
// node goes on through at least one link. A removed node that linked back
// to `node` was a mutual near neighbour, whose paths the rest of the list
// stands in for: it needs no such link, which spares most of them.
template <class Store>
void keep_bridges(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node,
                  std::span<const std::uint32_t> removed, int level) {
  const std::size_t room = core.graph.max_links(level);
  if (s.kept.size() >= room) return;
  s.visited.start();
  s.visited.insert(node);
  for (const auto& kept : s.kept) s.visited.insert(kept.node);
  auto live = [&core](std::uint32_t next) { return !core.is_removed(next); };
  for (const std::uint32_t gone : removed) {
    const auto list = core.graph.links(gone, level);
    const auto kept = [&](std::uint32_t next) { return live(next) && s.visited.contains(next); };
    if (std::any_of(list.begin(), list.end(), kept)) continue;
    const auto first = std::find_if(list.begin(), list.end(), live);
    if (first == list.end()) continue;
    s.visited.insert(*first);
    s.kept.push_back({core.store.score_pair(node, *first), *first});
    if (s.kept.size() >= room) return;
  }
}

// Keeps every live link (s.selected) and adds the heuristic's new choices
// from s.kept, up to `size` links. A live link was kept before for leading
// where its neighbours did not; a new candidate is no proof that it leads
// there now, and a region joined to the rest by few such links (an old
// cluster that no addition renews) would lose them one repair at a time.
// The caller lets a list grow by no more than the links it lost, so that
// lists fill slowly and repairs stay about as cheap as rounds go by.
template <class Store>
void keep_live(Scratch<Store>& s, std::size_t size) {
  const std::size_t live = s.selected.size();
  for (const auto& chosen : s.kept) {
    if (s.selected.size() >= size) break;
    const auto old = s.selected.begin() + static_cast<std::ptrdiff_t>(live);
    if (std::none_of(s.selected.begin(), old, [&](const auto& l) { return l.node == chosen.node; }))
      s.selected.push_back(chosen);
  }
  s.kept.swap(s.selected);
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
    s.selected.assign(s.pool.begin(), s.pool.end());  // the live links
    for (const std::uint32_t to : list) {
      if (removed(to)) detail::gather_through(core, s, node, to, level, 1);
    }
    std::sort(s.pool.begin(), s.pool.end());
    s.links.clear();
    for (const std::uint32_t to : list) {
      if (removed(to)) s.links.push_back(to);
    }
    const std::size_t size = std::min(core.graph.max_links(level), list.size() + s.links.size());
    // keep_live takes the heuristic's first choices that are not live links,
    // as many as the list has room for: the walk ends once it has made them.
    const std::size_t wanted = size - s.selected.size();
    std::size_t chosen_new = 0;
    auto enough = [&](const auto& kept) {
      const std::uint32_t last = kept.back().node;
      const bool live =
          std::any_of(s.selected.begin(), s.selected.end(), [last](const auto& l) { return l.node == last; });
      return !live && ++chosen_new >= wanted;
    };
    select_neighbours<Store>(core, node, s.pool, core.graph.max_links(level), s.kept, enough);
    detail::keep_live(s, size);
    detail::keep_bridges(core, s, node, s.links, level);
    auto held = core.link_locks.hold(node, true);
    core.graph.set_links(node, level, s.kept, [](const auto& kept) { return kept.node; });
  }
}

}  // namespace hobrin::ann
