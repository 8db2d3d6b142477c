#pragma once
// Ground truth: every stored vector (or every one a filter admits) that is
// not removed, scored against the query, keeping the k nearest in s.results
// as a max-heap.
#include <algorithm>
#include <cstdint>

#include "index/core.hpp"
#include "index/match_set.hpp"
#include "index/search_layer.hpp"

namespace hobrin::ann {

template <class T>
void exact_scan(const IndexCore<T>& core, Scratch<T>& s, const T* query, std::size_t k,
                const MatchSet* allowed) {
  constexpr std::size_t kChunk = 256;
  s.results.clear();
  s.fresh.clear();
  auto flush = [&] {
    score_fresh(core, query, s, admission_bound(s, k));
    for (std::size_t i = 0; i < s.fresh.size(); ++i)
      keep_best(s.results, {rankable(s.distances[i]), s.fresh[i]}, k);
    s.fresh.clear();
  };
  auto visit = [&](std::uint32_t node) {
    if (core.is_removed(node)) return;
    s.fresh.push_back(node);
    if (s.fresh.size() == kChunk) flush();
  };
  if (allowed != nullptr) {
    allowed->for_each(visit);
  } else {
    const std::size_t nodes = core.graph.size();
    for (std::size_t node = 0; node < nodes; ++node) visit(static_cast<std::uint32_t>(node));
  }
  flush();
}

}  // namespace hobrin::ann
