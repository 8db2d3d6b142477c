#pragma once
// The two walks of the paper's search: a greedy descent through one layer
// (ef = 1) and the best-first search with a candidate list of ef on one layer.
// `locked` is set during parallel insertion, when link lists may change under
// the walk: each list is then copied under its lock. Searches of a finished
// graph read the lists in place and pay nothing for it.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>

#include "index/core.hpp"

namespace hobrin::ann {

template <class T, bool locked>
std::span<const std::uint32_t> read_links(IndexCore<T>& core, Scratch<T>& s, std::uint32_t node, int level) {
  const std::uint32_t* list = core.graph.links(node, level);
  if constexpr (!locked) {
    return {list + 1, list[0]};
  } else {
    auto held = core.link_locks.hold(node, true);
    s.links.assign(list + 1, list + 1 + list[0]);
    return s.links;
  }
}

// Scores s.fresh against the query into s.distances.
template <class T>
void score_fresh(const IndexCore<T>& core, const T* query, Scratch<T>& s) {
  s.distances.resize(s.fresh.size());
  core.kernels.batch(query, core.vectors.base(), core.vectors.stride(), s.fresh.data(), s.fresh.size(),
                     core.vectors.stride(), s.distances.data());
}

// Moves to the nearest neighbour on `level` while that is nearer.
template <class T, bool locked>
Scored<T> greedy_closest(IndexCore<T>& core, Scratch<T>& s, const T* query, Scored<T> current, int level) {
  for (bool moved = true; moved;) {
    moved = false;
    const auto links = read_links<T, locked>(core, s, current.node, level);
    s.fresh.assign(links.begin(), links.end());
    score_fresh(core, query, s);
    for (std::size_t i = 0; i < s.fresh.size(); ++i) {
      const Scored<T> next{rankable(s.distances[i]), s.fresh[i]};
      if (next < current) {
        current = next;
        moved = true;
      }
    }
  }
  return current;
}

// Starts a layer search from `entries`: marks them visited, makes them the
// candidates, and the admitted ones the first results.
template <class T, class Admit>
void begin_layer_search(Scratch<T>& s, std::span<const Scored<T>> entries, std::uint32_t excluded, Admit&& admit) {
  s.visited.start();
  if (excluded != kNoNode) s.visited.test_and_mark(excluded);
  s.candidates.clear();
  s.results.clear();
  for (const Scored<T>& entry : entries) {
    if (s.visited.test_and_mark(entry.node)) continue;
    s.candidates.push_back(entry);
    if (admit(entry.node)) s.results.push_back(entry);
  }
  std::make_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
  std::make_heap(s.results.begin(), s.results.end());
}

// Best-first search on `level` from the candidates begin_layer_search set
// up. On return s.results is a max-heap of the (at most) ef nearest admitted
// nodes reached. Nodes that are not admitted are still walked through.
template <class T, bool locked, class Admit>
void search_layer(IndexCore<T>& core, Scratch<T>& s, const T* query, int level, std::size_t ef, Admit&& admit) {
  while (!s.candidates.empty()) {
    const Scored<T> nearest = s.candidates.front();
    if (s.results.size() >= ef && s.results.front() < nearest) break;
    std::pop_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
    s.candidates.pop_back();

    const auto links = read_links<T, locked>(core, s, nearest.node, level);
    for (const std::uint32_t node : links) s.visited.prefetch(node);
    s.fresh.clear();
    for (const std::uint32_t node : links) {
      if (s.visited.test_and_mark(node)) continue;
      s.fresh.push_back(node);
      __builtin_prefetch(core.vectors.row(node));
    }
    score_fresh(core, query, s);
    for (std::size_t i = 0; i < s.fresh.size(); ++i) {
      const Scored<T> next{rankable(s.distances[i]), s.fresh[i]};
      if (s.results.size() >= ef && !(next < s.results.front())) continue;
      s.candidates.push_back(next);
      std::push_heap(s.candidates.begin(), s.candidates.end(), std::greater<>{});
      if (!admit(next.node)) continue;
      s.results.push_back(next);
      std::push_heap(s.results.begin(), s.results.end());
      if (s.results.size() > ef) {
        std::pop_heap(s.results.begin(), s.results.end());
        s.results.pop_back();
      }
    }
  }
}

}  // namespace hobrin::ann
