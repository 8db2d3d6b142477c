#pragma once
// One search's tasks, whole: a query's descent through the upper layers, its
// walk on layer 0 (plain, or through two hops where a filter's matches are
// sparse, ending in a scan where the walk would cost more) and the re-rank
// on full rows; or a scan that serves a block of queries together. Each
// task writes its queries' results into the request.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/core/search_request.hpp"
#include "hobrin_ann/search/exact_scan.hpp"
#include "hobrin_ann/search/plan.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

// Writes a query's results from its max-heap of best nodes (which it sorts):
// ids and distances as the caller sees them, -1 and inf where fewer were found.
template <class Store, class D = typename Store::Distance>
void emit(const IndexCore<Store>& core, std::vector<Scored<D>>& best, const SearchRequest& request,
          std::size_t query_index) {
  using Value = typename Store::Value;
  const std::size_t k = request.k;
  std::sort_heap(best.begin(), best.end());
  std::int64_t* labels = request.labels + query_index * k;
  Value* distances = static_cast<Value*>(request.distances) + query_index * k;
  const std::size_t found = std::min(k, best.size());
  for (std::size_t i = 0; i < found; ++i) {
    labels[i] = core.labels[best[i].node];
    distances[i] = core.store.reported(best[i].distance);
  }
  std::fill(labels + found, labels + k, std::int64_t{-1});
  std::fill(distances + found, distances + k, std::numeric_limits<Value>::infinity());
}

// Re-scores the best `count` (0: all) of the walk's candidates (the max-heap
// s.results) on the full rows, in one batch that fetches rows ahead, leaving
// a max-heap of them ranked by that.
template <class Store>
void rerank(const IndexCore<Store>& core, Scratch<Store>& s, const typename Store::Query& query,
            std::size_t count) {
  auto& best = s.results;
  std::sort_heap(best.begin(), best.end());
  if (count != 0 && count < best.size()) best.resize(count);
  s.fresh.resize(best.size());
  s.distances.resize(best.size());
  for (std::size_t i = 0; i < best.size(); ++i) s.fresh[i] = best[i].node;
  core.store.rescore(query, s.fresh.data(), s.fresh.size(), s.distances.data());
  for (std::size_t i = 0; i < best.size(); ++i) best[i].distance = s.distances[i];
  std::make_heap(best.begin(), best.end());
}

// The walk on layer 0 from `entry`, leaving the best admitted nodes in
// s.results; false where it gave up for a scan (see below), which the
// caller then runs with other such queries. Nodes that are removed or of an
// addition still linking are walked through but never returned.
template <class Store, bool locked, class D = typename Store::Distance>
bool walk_layer0(IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query, Scored<D> entry,
                 const SearchPlan& plan, std::size_t k) {
  const MatchSet* allowed = plan.admitted();
  auto admit = [&core, allowed](std::uint32_t node) {
    return core.returnable(node) && (allowed == nullptr || allowed->contains(node));
  };
  // The entry is a candidate even when a filter does not admit it.
  begin_layer_search(s, std::span<const Scored<D>>(&entry, 1), kNoNode, admit);
  // Where matches lie far from the query, a filtered walk can score many
  // nodes before it finds them. A node reached through the graph costs a
  // few times one read in order, so past a quarter of the matches' count,
  // scoring the matches in order is cheaper. Copies of one vector take at
  // most k places: more could not change the answer.
  const std::size_t budget = allowed == nullptr ? SIZE_MAX : allowed->count() / 4;
  bool completed = true;
  if (allowed != nullptr && allowed->prefers_two_hops(core.graph.size())) {
    completed = search_layer_two_hops<Store, locked>(core, s, query, plan.ef, admit, budget, k);
  } else {
    completed = search_layer<Store, locked>(core, s, query, 0, plan.ef, admit, budget, k);
  }
  return completed;
}

// One query's descent and walk, its results written into the request;
// false where the walk gave up for a scan: the query is then left to the
// caller (see scan_queries) and its results are not written.
template <class Store, bool locked>
bool search_query(IndexCore<Store>& core, Scratch<Store>& s, const SearchRequest& request,
                  const SearchPlan& plan, std::size_t query_index) {
  using Value = typename Store::Value;
  const auto* values = static_cast<const Value*>(request.queries) + query_index * core.options.dim;
  const typename Store::Query query = core.store.prepare(values, s.query, 0);
  s.results.clear();
  // An addition that is linking may move the entry point up: read it with
  // its level, as the insertions do. It may be a node of that addition (the
  // first one of an empty index, until it has been placed: none).
  std::uint32_t entry;
  int top;
  {
    std::unique_lock guard(core.entry_mutex, std::defer_lock);
    if constexpr (locked) guard.lock();
    entry = core.entry_point;
    top = core.top_level;
  }
  if (entry != kNoNode) {
    Scored nearest{core.store.score(query, entry), entry};
    // The descent moves only to nodes of finished additions: a node still
    // being linked may have empty lists below, a dead end for the walk.
    for (int l = top; l > 0; --l)
      nearest = greedy_closest<Store, locked>(core, s, query, nearest, l, core.linking_from);
    if (!walk_layer0<Store, locked>(core, s, query, nearest, plan, request.k)) return false;
    if constexpr (Store::kCoded) {
      if (plan.rescore) rerank(core, s, query, plan.rerank);
    }
  }
  emit(core, s.results, request, query_index);
  return true;
}

// Scans for the queries at `indexes` (or, with none given, first .. first
// + count - 1) together, their results written into the request.
template <class Store>
void scan_queries(const IndexCore<Store>& core, Scratch<Store>& s, const SearchRequest& request,
                  const SearchPlan& plan, std::size_t first, std::size_t count,
                  const std::uint32_t* indexes = nullptr) {
  using Value = typename Store::Value;
  const auto* values = static_cast<const Value*>(request.queries);
  auto index_of = [&](std::size_t q) { return indexes != nullptr ? indexes[q] : first + q; };
  s.block.reserve(count);
  std::vector<typename Store::Query> queries(count);
  for (std::size_t q = 0; q < count; ++q) {
    queries[q] = core.store.prepare(values + index_of(q) * core.options.dim, s.block, q);
  }
  s.block_results.resize(count);
  exact_scan<Store>(core, s, queries, request.k, plan.admitted(), std::span(s.block_results.data(), count));
  for (std::size_t q = 0; q < count; ++q) emit(core, s.block_results[q], request, index_of(q));
}

// Task `task` of `plan`: one query's walk, or one block's scan. Returns
// false for a walk that gave up for a scan (its query is left undone).
template <class Store>
bool search_task(IndexCore<Store>& core, Scratch<Store>& s, const SearchRequest& request,
                 const SearchPlan& plan, std::size_t task) {
  if (plan.scan) {
    const std::size_t first = task * plan.block;
    scan_queries(core, s, request, plan, first, std::min(plan.block, request.count - first));
    return true;
  }
  if (plan.locked) return search_query<Store, true>(core, s, request, plan, task);
  return search_query<Store, false>(core, s, request, plan, task);
}

}  // namespace hobrin::ann
