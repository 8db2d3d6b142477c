#pragma once
// Ground truth: every stored vector (or every one a filter admits) that is
// returnable (not removed, not of an addition still linking), scored
// against the query, keeping the k nearest as a max-heap.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "hobrin_ann/filters/match_set.hpp"
#include "hobrin_ann/index/core.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

// The block form: each of `queries` (padded rows) keeps its k nearest in the
// matching max-heap of `best`. The matching rows are gathered in chunks, and
// each chunk is bounded against the whole block by the store's block kernel,
// which reads every row once per block instead of once per query; only rows
// whose bound could enter a heap are scored one by one. Results and distances
// are those of scoring every row with score().
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
    const std::size_t n = s.fresh.size();
    if (n == 0) return;
    s.distances.resize(queries.size() * n);
    core.store.score_block(queries.data(), queries.size(), s.fresh.data(), n, s.distances.data());
    for (std::size_t q = 0; q < queries.size(); ++q) {
      std::vector<Scored<D>>& heap = best[q];
      const D* lower = s.distances.data() + q * n;
      // Once the heap is full, most rows lie beyond its worst: one comparison each.
      D bound = heap.size() >= k ? heap.front().distance : std::numeric_limits<D>::infinity();
      for (std::size_t i0 = 0; i0 < n; i0 += 8) {
        const std::size_t end = std::min(n, i0 + 8);
        if (end == i0 + 8) {  // eight at once, in vector registers
          bool any = false;
          for (std::size_t i = i0; i < i0 + 8; ++i) any |= lower[i] <= bound;
          if (!any) continue;
        }
        for (std::size_t i = i0; i < end; ++i) {
          if (lower[i] > bound) continue;
          keep_best(heap, Scored<D>{core.store.exact_score(queries[q], s.fresh[i]), s.fresh[i]}, k);
          if (heap.size() >= k) bound = heap.front().distance;
        }
      }
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
