#pragma once
// Ground truth: every stored vector (or every one a filter admits) that is
// returnable (not removed, not of an addition still linking), scored
// against the query, keeping the k nearest as a max-heap.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/search/match_set.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

// Bit j set where v[j] <= bound, for the `count` (at most kSkipGroup)
// values at `v`: with SSE2, four or two comparisons per instruction. Once a
// heap is full, most rows lie beyond its worst, and most groups give 0.
inline constexpr std::size_t kSkipGroup = 16;
template <class D>
std::uint32_t at_most_mask(const D* v, std::size_t count, D bound) noexcept {
  std::uint32_t mask = 0;
#if defined(__SSE2__)
  if (count == kSkipGroup) {
    if constexpr (std::is_same_v<D, float>) {
      const __m128 b = _mm_set1_ps(bound);
      for (std::size_t j = 0; j < kSkipGroup; j += 4) {
        mask |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(v + j), b))) << j;
      }
      return mask;
    } else if constexpr (std::is_same_v<D, double>) {
      const __m128d b = _mm_set1_pd(bound);
      for (std::size_t j = 0; j < kSkipGroup; j += 2) {
        mask |= static_cast<std::uint32_t>(_mm_movemask_pd(_mm_cmple_pd(_mm_loadu_pd(v + j), b))) << j;
      }
      return mask;
    }
  }
#endif
  for (std::size_t j = 0; j < count; ++j) mask |= static_cast<std::uint32_t>(v[j] <= bound) << j;
  return mask;
}

// The least of the `count` (at most kSkipGroup) values at `v`.
template <class D>
D group_min(const D* v, std::size_t count) noexcept {
#if defined(__SSE2__)
  if (count == kSkipGroup) {
    if constexpr (std::is_same_v<D, float>) {
      __m128 least = _mm_loadu_ps(v);
      for (std::size_t j = 4; j < kSkipGroup; j += 4) least = _mm_min_ps(least, _mm_loadu_ps(v + j));
      least = _mm_min_ps(least, _mm_movehl_ps(least, least));
      return _mm_cvtss_f32(_mm_min_ss(least, _mm_shuffle_ps(least, least, 1)));
    }
  }
#endif
  D least = v[0];
  for (std::size_t j = 1; j < count; ++j) least = v[j] < least ? v[j] : least;
  return least;
}

// Rows a chunk holds at most: the bounds of a block of queries against a
// chunk then stay in the second-level cache.
inline constexpr std::size_t kChunkRows = 256;

// Keeps in `heap` the rows of one chunk (up to kChunkRows) that belong
// there, given their lower bounds (which it overwrites). About the k rows
// of smallest bound are gathered first and scored: the heap's worst is then
// near its final value, and the other rows are weighed against it, most of
// them without being scored. `seeds` is scratch.
template <class Store, class D = typename Store::Distance>
void keep_from_chunk(const Store& store, typename Store::Query query, const std::uint32_t* nodes, D* lower,
                     std::size_t n, std::size_t k, std::vector<Scored<D>>& heap,
                     std::vector<Scored<D>>& seeds) {
  constexpr D kNone = std::numeric_limits<D>::infinity();
  constexpr std::size_t kGroups = kChunkRows / kSkipGroup;
  const std::size_t groups = (n + kSkipGroup - 1) / kSkipGroup;
  const D bound = heap.size() >= k ? heap.front().distance : kNone;
  // Until the heap is full: each group's least bound, and at least k rows
  // lie within the k-th smallest of these, so no more need be gathered.
  D within = bound;
  if (heap.size() < k && groups >= k) {
    D minima[kGroups];
    for (std::size_t g = 0; g < groups; ++g) {
      minima[g] = group_min(lower + g * kSkipGroup, std::min(kSkipGroup, n - g * kSkipGroup));
    }
    std::nth_element(minima, minima + (k - 1), minima + groups);
    within = minima[k - 1];
  }
  seeds.clear();
  for (std::size_t i0 = 0; i0 < n; i0 += kSkipGroup) {
    for (std::uint32_t m = at_most_mask(lower + i0, std::min(kSkipGroup, n - i0), within); m != 0;
         m &= m - 1) {
      const std::size_t i = i0 + static_cast<std::size_t>(std::countr_zero(m));
      seeds.push_back(Scored<D>{lower[i], static_cast<std::uint32_t>(i)});
    }
  }
  // Rows within `bound` that are not seeds are weighed in a second pass.
  const bool passed_over = within < bound || seeds.size() > k;
  if (seeds.size() > k) {
    std::nth_element(seeds.begin(), seeds.begin() + static_cast<std::ptrdiff_t>(k), seeds.end());
    seeds.resize(k);
  }
  for (const Scored<D>& seed : seeds) {
    keep_best(heap, Scored<D>{store.exact_score(query, nodes[seed.node]), nodes[seed.node]}, k);
    lower[seed.node] = kNone;  // scored: not again
  }
  if (!passed_over) return;
  D worst = heap.front().distance;  // the heap is full: it took k seeds
  for (std::size_t i0 = 0; i0 < n; i0 += kSkipGroup) {
    for (std::uint32_t m = at_most_mask(lower + i0, std::min(kSkipGroup, n - i0), worst); m != 0;
         m &= m - 1) {
      const std::size_t i = i0 + static_cast<std::size_t>(std::countr_zero(m));
      if (!(lower[i] <= worst)) continue;  // `worst` has shrunk since
      keep_best(heap, Scored<D>{store.exact_score(query, nodes[i]), nodes[i]}, k);
      worst = heap.front().distance;
    }
  }
}

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
  // The block kernel packs the rows it reads, so a chunk need not stay
  // cached; kChunkRows is a whole number of the kernels' panels.
  const std::size_t chunk = kChunkRows;
  for (auto& heap : best) heap.clear();
  if (k == 0) return;
  s.fresh.clear();
  auto flush = [&] {
    const std::size_t n = s.fresh.size();
    if (n == 0) return;
    // Every heap holds the same number of rows (all so far, up to k). Where
    // every row of the chunk enters them all (few rows admitted), bounds
    // would only add work: each row is scored exactly.
    if (best.front().size() + n <= k) {
      for (std::size_t q = 0; q < queries.size(); ++q) {
        for (const std::uint32_t node : s.fresh) {
          best[q].push_back(Scored<D>{core.store.exact_score(queries[q], node), node});
        }
        std::make_heap(best[q].begin(), best[q].end());
      }
      s.fresh.clear();
      return;
    }
    s.distances.resize(queries.size() * n);
    core.store.score_block(queries.data(), queries.size(), s.fresh.data(), n, s.distances.data());
    for (std::size_t q = 0; q < queries.size(); ++q) {
      keep_from_chunk(core.store, queries[q], s.fresh.data(), s.distances.data() + q * n, n, k, best[q],
                      s.candidates);
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
