#pragma once
// The two walks of the paper's search: a greedy descent through one layer
// (ef = 1) and the best-first search with a candidate list of ef on one layer.
// `locked` is set while an insertion may change link lists under the walk
// (the walks of a parallel insertion, and searches beside an addition): each
// list is then copied under its lock. Searches of a graph that no addition is
// linking read the lists in place and pay nothing for it.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>

#include "hobrin_ann/core/core.hpp"

namespace hobrin::ann {

// The node's links on `level`. Unlocked, the span points into the graph and
// stays valid until the graph next grows or is linked (never during such a
// search: it holds the index shared and no addition is linking). Locked, it
// is a copy in s.links, valid until the next read_links with the same
// scratch.
template <class Store, bool locked>
std::span<const std::uint32_t> read_links(IndexCore<Store>& core, Scratch<Store>& s, std::uint32_t node,
                                          int level) {
  if constexpr (!locked) {
    return core.graph.links(node, level);
  } else {
    auto held = core.link_locks.hold(node, true);
    const auto list = core.graph.links(node, level);
    s.links.assign(list.begin(), list.end());
    return s.links;
  }
}

// Scores s.fresh against the query into s.distances. Distances above
// `bound` may come out as any value above it (see BatchDistance).
template <class Store, class D = typename Store::Distance>
void score_fresh(const IndexCore<Store>& core, typename Store::Query query, Scratch<Store>& s,
                 D bound = std::numeric_limits<D>::infinity()) {
  s.distances.resize(s.fresh.size());
  core.store.score_batch(query, s.fresh.data(), s.fresh.size(), bound, s.distances.data());
}

// The distance a new result must beat: the worst kept once there are ef.
template <class Store, class D = typename Store::Distance>
D admission_bound(const Scratch<Store>& s, std::size_t ef) noexcept {
  return s.results.size() >= ef ? s.results.front().distance : std::numeric_limits<D>::infinity();
}

// Keeps `hit` in the max-heap `best` if it is among the `limit` best so far.
// A full heap has its worst replaced in place and sifted down: one pass
// instead of a push and a pop.
template <class T>
void keep_best(std::vector<Scored<T>>& best, Scored<T> hit, std::size_t limit) {
  if (best.size() < limit) {
    best.push_back(hit);
    std::push_heap(best.begin(), best.end());
    return;
  }
  if (best.empty() || !(hit < best.front())) return;
  const std::size_t size = best.size();
  std::size_t at = 0;
  for (std::size_t child = 1; child < size; child = 2 * at + 1) {
    if (child + 1 < size && best[child] < best[child + 1]) ++child;
    if (!(hit < best[child])) break;
    best[at] = best[child];
    at = child;
  }
  best[at] = hit;
}

// A scored node that could still enter the results becomes a candidate for
// expansion, and a result too if it is admitted.
template <class Store, class D, class Admit>
void offer(Scratch<Store>& s, Scored<D> next, std::size_t ef, Admit&& admit) {
  if (s.results.size() >= ef && !(next < s.results.front())) return;
  s.candidates.push_back(next);
  std::push_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
  if (admit(next.node)) keep_best(s.results, next, ef);
}

// Moves to the nearest neighbour on `level` while that is nearer, among the
// nodes below `below` (searches beside an addition pass the first of its nodes).
template <class Store, bool locked, class D = typename Store::Distance>
Scored<D> greedy_closest(IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query,
                         Scored<D> current, int level, std::size_t below = kNoneLinking) {
  for (bool moved = true; moved;) {
    moved = false;
    const auto links = read_links<Store, locked>(core, s, current.node, level);
    s.fresh.assign(links.begin(), links.end());
    score_fresh(core, query, s, current.distance);
    for (std::size_t i = 0; i < s.fresh.size(); ++i) {
      const Scored<D> next{s.distances[i], s.fresh[i]};
      if (next < current && next.node < below) {
        current = next;
        moved = true;
      }
    }
  }
  return current;
}

// Takes the nearest candidate for expansion, unless there is none or the
// results are full and it is farther than all of them: then the search ends.
template <class Store, class D>
bool next_to_expand(Scratch<Store>& s, std::size_t ef, Scored<D>& nearest) {
  if (s.candidates.empty()) return false;
  nearest = s.candidates.front();
  if (s.results.size() >= ef && s.results.front() < nearest) return false;
  std::pop_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
  s.candidates.pop_back();
  return true;
}

// Starts a layer search from `entries`: marks them visited, makes them the
// candidates, and the admitted ones the first results.
template <class Store, class D, class Admit>
void begin_layer_search(Scratch<Store>& s, std::span<const Scored<D>> entries, std::uint32_t excluded,
                        Admit&& admit) {
  s.visited.start();
  if (excluded != kNoNode) s.visited.insert(excluded);
  s.candidates.clear();
  s.results.clear();
  for (const Scored<D>& entry : entries) {
    if (!s.visited.insert(entry.node)) continue;
    s.candidates.push_back(entry);
    if (admit(entry.node)) s.results.push_back(entry);
  }
  std::make_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
  std::make_heap(s.results.begin(), s.results.end());
}

// Counts the copies a walk meets, so that it can stop taking them: a pile
// of copies of one vector lies at one distance from any query and would fill
// the whole candidate list, leaving no room to walk on past it. A node is
// taken for a copy of the node being expanded when the two are equally far
// from the query and hold the same vector (so only exact ties read rows).
struct CopyLimit {
  std::size_t left;  // copies the walk may still take

  template <class Store, class D>
  bool refuses(const IndexCore<Store>& core, const Scored<D>& next, const Scored<D>& expanded) noexcept {
    if (next.distance != expanded.distance || !core.store.identical(next.node, expanded.node)) return false;
    if (left == 0) return true;
    --left;
    return false;
  }
};

// Best-first search on `level` from the candidates begin_layer_search set
// up. On return s.results is a max-heap of the (at most) ef nearest admitted
// nodes reached. Nodes that are not admitted are still walked through. A
// search that would score more than `budget` nodes stops and returns false.
// Past `copies` copies met (CopyLimit), further copies are passed over.
template <class Store, bool locked, class Admit>
bool search_layer(IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query, int level,
                  std::size_t ef, Admit&& admit, std::size_t budget = SIZE_MAX,
                  std::size_t copies = SIZE_MAX) {
  std::size_t scored = 0;
  CopyLimit copy_limit{copies};
  for (Scored<typename Store::Distance> nearest; next_to_expand(s, ef, nearest);) {
    // The next candidate is likely the next one expanded: fetch its list
    // while this one's neighbours are scored.
    if (!s.candidates.empty()) core.graph.prefetch_links(s.candidates.front().node, level);
    const auto links = read_links<Store, locked>(core, s, nearest.node, level);
    for (const std::uint32_t node : links) s.visited.prefetch(node);
    std::size_t fresh = 0;
    s.fresh.resize(links.size());
    for (const std::uint32_t node : links) {
      s.fresh[fresh] = node;
      fresh += s.visited.insert(node);
    }
    s.fresh.resize(fresh);
    if ((scored += fresh) > budget) return false;
    score_fresh(core, query, s, admission_bound(s, ef));
    for (std::size_t i = 0; i < s.fresh.size(); ++i) {
      const Scored next{s.distances[i], s.fresh[i]};
      if (!copy_limit.refuses(core, next, nearest)) offer(s, next, ef, admit);
    }
  }
  return true;
}

}  // namespace hobrin::ann

namespace hobrin::ann {

// Best-first search on layer 0 for sparse admitted nodes: like search_layer
// it walks through nodes that are not admitted, and from each of those it
// also scores the admitted nodes one hop further. A walk whose neighbourhood
// holds few admitted nodes still finds them, and it cannot get stuck where
// none is near. s.results ends as in search_layer. `locked` as there: the
// expanded list is copied, a second-hop list read while its lock is held
// (one lock at a time).
template <class Store, bool locked, class Admit>
bool search_layer_two_hops(IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query,
                           std::size_t ef, Admit&& admit, std::size_t budget, std::size_t copies) {
  std::size_t scored = 0;
  CopyLimit copy_limit{copies};
  for (Scored<typename Store::Distance> nearest; next_to_expand(s, ef, nearest);) {
    s.fresh.clear();
    for (const std::uint32_t node : read_links<Store, locked>(core, s, nearest.node, 0)) {
      if (!s.visited.insert(node)) continue;
      s.fresh.push_back(node);
      if (admit(node)) continue;
      ++scored;  // reading a list costs about as much as scoring a node
      auto held = core.link_locks.hold(node, locked);
      for (const std::uint32_t second : core.graph.links(node, 0)) {
        if (!s.visited.contains(second) && admit(second)) {
          s.visited.insert(second);
          s.fresh.push_back(second);
        }
      }
    }
    if ((scored += s.fresh.size()) > budget) return false;
    score_fresh(core, query, s, admission_bound(s, ef));
    for (std::size_t i = 0; i < s.fresh.size(); ++i) {
      const Scored next{s.distances[i], s.fresh[i]};
      if (!copy_limit.refuses(core, next, nearest)) offer(s, next, ef, admit);
    }
  }
  return true;
}

}  // namespace hobrin::ann
