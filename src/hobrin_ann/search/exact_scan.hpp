#pragma once
// Ground truth: every stored vector (or every one a filter admits) that is
// returnable (not removed, not of an addition still linking), scored
// against the query, keeping the k nearest as a max-heap.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "hobrin_ann/filters/match_set.hpp"
#include "hobrin_ann/index/core.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

// Whether any of the kSkipGroup values at `v` is at most `bound`: their
// minimum in 16-byte registers, which every target has. Once a heap is full,
// most rows lie beyond its worst, and most groups are passed over whole.
inline constexpr std::size_t kSkipGroup = 16;
template <class D>
bool any_at_most(const D* v, D bound) noexcept {
  typedef D Pack __attribute__((vector_size(16)));
  constexpr std::size_t lanes = sizeof(Pack) / sizeof(D);
  Pack least;
  std::memcpy(&least, v, sizeof least);
  for (std::size_t j = lanes; j < kSkipGroup; j += lanes) {
    Pack next;
    std::memcpy(&next, v + j, sizeof next);
    least = next < least ? next : least;
  }
  bool any = false;
  for (std::size_t j = 0; j < lanes; ++j) any |= least[j] <= bound;
  return any;
}

// Keeps in `heap` the rows of one chunk that belong there, given their
// lower bounds (which it overwrites). The k rows of smallest bound are found
// first (a max-heap in `seeds`) and scored: the heap's worst is then near its
// final value, and the other rows are weighed against it, most of them
// without being scored.
template <class Store, class D = typename Store::Distance>
void keep_from_chunk(const Store& store, typename Store::Query query, const std::uint32_t* nodes, D* lower,
                     std::size_t n, std::size_t k, std::vector<Scored<D>>& heap,
                     std::vector<Scored<D>>& seeds) {
  constexpr D kNone = std::numeric_limits<D>::infinity();
  D bound = heap.size() >= k ? heap.front().distance : kNone;
  seeds.clear();
  // Once there are k seeds, rows beyond the worst of them are passed over
  // here, and weighed in a second pass once the seeds are scored.
  bool passed_over = false;
  for (std::size_t i0 = 0; i0 < n; i0 += kSkipGroup) {
    const std::size_t end = std::min(n, i0 + kSkipGroup);
    passed_over |= seeds.size() == k;
    const D within = passed_over ? std::min(bound, seeds.front().distance) : bound;
    if (end == i0 + kSkipGroup && !any_at_most(lower + i0, within)) continue;
    for (std::size_t i = i0; i < end; ++i) {
      if (!(lower[i] <= bound)) continue;
      const Scored<D> row{lower[i], static_cast<std::uint32_t>(i)};
      if (seeds.size() < k) {
        seeds.push_back(row);
        std::push_heap(seeds.begin(), seeds.end());
        continue;
      }
      passed_over = true;
      if (!(row < seeds.front())) continue;
      std::pop_heap(seeds.begin(), seeds.end());
      seeds.back() = row;
      std::push_heap(seeds.begin(), seeds.end());
    }
  }
  for (const Scored<D>& seed : seeds) {
    keep_best(heap, Scored<D>{store.score(query, nodes[seed.node]), nodes[seed.node]}, k);
    lower[seed.node] = kNone;  // scored: not again
  }
  if (!passed_over) return;
  bound = heap.front().distance;  // the heap is full: it took k seeds
  for (std::size_t i0 = 0; i0 < n; i0 += kSkipGroup) {
    const std::size_t end = std::min(n, i0 + kSkipGroup);
    if (end == i0 + kSkipGroup && !any_at_most(lower + i0, bound)) continue;
    for (std::size_t i = i0; i < end; ++i) {
      if (!(lower[i] <= bound)) continue;
      keep_best(heap, Scored<D>{store.score(query, nodes[i]), nodes[i]}, k);
      bound = heap.front().distance;
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
  // cached: it is as long as keeps the bounds of a block of queries in the
  // second-level cache, and a whole number of the kernels' panels.
  const std::size_t chunk = 256;
  for (auto& heap : best) heap.clear();
  if (k == 0) return;
  s.fresh.clear();
  auto flush = [&] {
    const std::size_t n = s.fresh.size();
    if (n == 0) return;
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
