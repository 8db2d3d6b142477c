#pragma once
// Ground truth: every stored vector (or every one a filter admits) that is
// returnable (not removed, not of an addition still linking), scored
// against the query, keeping the k nearest as a max-heap.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "hobrin_ann/filters/match_set.hpp"
#include "hobrin_ann/index/core.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

// The block form: each of `queries` (padded rows) keeps its k nearest in the
// matching max-heap of `best`. The rows are read in chunks that stay in cache
// while every query of the block scores them, so memory is read once per
// block instead of once per query.
template <class Store, class D = typename Store::Distance>
void exact_scan(const IndexCore<Store>& core, Scratch<Store>& s,
                std::span<const typename Store::Query> queries, std::size_t k, const MatchSet* allowed,
                std::span<std::vector<Scored<D>>> best) {
  const std::size_t row_bytes = core.store.bytes_per_row();
  const std::size_t chunk =
      std::clamp<std::size_t>((std::size_t{128} << 10) / std::max<std::size_t>(row_bytes, 1), 16, 256);
  for (auto& heap : best) heap.clear();
  s.fresh.clear();
  auto flush = [&] {
    for (std::size_t q = 0; q < queries.size(); ++q) {
      s.results.swap(best[q]);  // admission_bound reads s.results
      score_fresh(core, queries[q], s, admission_bound(s, k));
      for (std::size_t i = 0; i < s.fresh.size(); ++i)
        keep_best(s.results, Scored<D>{s.distances[i], s.fresh[i]}, k);
      s.results.swap(best[q]);
    }
    s.fresh.clear();
  };
  auto visit = [&](std::uint32_t node) {
    if (!core.returnable(node)) return;
    s.fresh.push_back(node);
    if (s.fresh.size() == chunk) flush();
  };
  if (allowed != nullptr) {
    allowed->for_each(visit);
  } else {
    const std::size_t nodes = core.graph.size();
    for (std::size_t node = 0; node < nodes; ++node) visit(static_cast<std::uint32_t>(node));
  }
  flush();
}

// One query, its k nearest left in s.results.
template <class Store>
void exact_scan(const IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query, std::size_t k,
                const MatchSet* allowed) {
  std::vector<Scored<typename Store::Distance>> best;
  best.swap(s.results);
  exact_scan<Store>(core, s, std::span<const typename Store::Query>(&query, 1), k, allowed,
                    std::span(&best, 1));
  s.results.swap(best);
}

}  // namespace hobrin::ann
