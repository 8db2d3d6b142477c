// Searches: a descent through the upper layers and a walk on layer 0 per
// query, or, for exact and very selective filtered searches, scans that
// serve blocks of queries.
#include <algorithm>
#include <limits>

#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/search/exact_scan.hpp"
#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {

template <class Store>
template <bool locked>
void StoredIndex<Store>::walk_layer0(Scratch<Store>& s, typename Store::Query query, Scored<D> entry,
                                     std::size_t ef, std::size_t k, const MatchSet* allowed) const {
  // Results are collected here: nodes that are removed or of an addition
  // still linking are walked through but never returned.
  auto admit = [this, allowed](std::uint32_t node) {
    return core_.returnable(node) && (allowed == nullptr || allowed->contains(node));
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
  if (allowed != nullptr && allowed->prefers_two_hops(core_.graph.size())) {
    completed = search_layer_two_hops<Store, locked>(core_, s, query, ef, admit, budget, k);
  } else {
    completed = search_layer<Store, locked>(core_, s, query, 0, ef, admit, budget, k);
  }
  if (!completed) exact_scan(core_, s, query, k, allowed);
}

template <class Store>
template <bool locked>
void StoredIndex<Store>::search_one(Scratch<Store>& s, const SearchRequest& request, std::size_t query_index,
                                    const MatchSet* allowed) const {
  const auto* values = static_cast<const Value*>(request.queries) + query_index * core_.options.dim;
  const typename Store::Query query = core_.store.prepare(values, s.query, 0);
  s.results.clear();
  // An addition that is linking may move the entry point up: read it with
  // its level, as the insertions do. It may be a node of that addition (the
  // first one of an empty index, until it has been placed: none).
  std::uint32_t entry;
  int top;
  {
    std::unique_lock guard(core_.entry_mutex, std::defer_lock);
    if constexpr (locked) guard.lock();
    entry = core_.entry_point;
    top = core_.top_level;
  }
  if (entry != kNoNode) {
    Scored<D> nearest{core_.store.score(query, entry), entry};
    // The descent moves only to nodes of finished additions: a node still
    // being linked may have empty lists below, a dead end for the walk.
    for (int l = top; l > 0; --l)
      nearest = greedy_closest<Store, locked>(core_, s, query, nearest, l, core_.linking_from);
    const std::size_t ef = std::max({request.ef, request.k, request.rerank});
    walk_layer0<locked>(s, query, nearest, ef, request.k, allowed);
    if constexpr (Store::kCoded) {
      if (core_.store.keeps_vectors()) rerank(s.results, query, request.rerank);
    }
  }
  emit(s.results, request, query_index);
}

template <class Store>
void StoredIndex<Store>::rerank(std::vector<Scored<D>>& best, const typename Store::Query& query,
                                std::size_t count) const {
  // The walk ranked by codes; the best `count` of its candidates are scored
  // again on the full rows and ranked by that.
  std::sort_heap(best.begin(), best.end());
  if (count != 0 && count < best.size()) best.resize(count);
  for (Scored<D>& candidate : best) candidate.distance = core_.store.exact_score(query, candidate.node);
  std::make_heap(best.begin(), best.end());
}

template <class Store>
void StoredIndex<Store>::emit(std::vector<Scored<D>>& best, const SearchRequest& request,
                              std::size_t query_index) const {
  const std::size_t k = request.k;
  std::sort_heap(best.begin(), best.end());
  std::int64_t* labels = request.labels + query_index * k;
  Value* distances = static_cast<Value*>(request.distances) + query_index * k;
  const std::size_t found = std::min(k, best.size());
  for (std::size_t i = 0; i < found; ++i) {
    labels[i] = core_.labels[best[i].node];
    distances[i] = core_.store.reported(best[i].distance);
  }
  std::fill(labels + found, labels + k, std::int64_t{-1});
  std::fill(distances + found, distances + k, std::numeric_limits<Value>::infinity());
}

template <class Store>
void StoredIndex<Store>::scan_block(Scratch<Store>& s, const SearchRequest& request, std::size_t first,
                                    std::size_t count, const MatchSet* allowed) const {
  const auto* values = static_cast<const Value*>(request.queries) + first * core_.options.dim;
  s.block.reserve(count);
  std::vector<typename Store::Query> queries(count);
  for (std::size_t q = 0; q < count; ++q) {
    queries[q] = core_.store.prepare(values + q * core_.options.dim, s.block, q);
  }
  s.block_results.resize(count);
  exact_scan<Store>(core_, s, queries, request.k, allowed, std::span(s.block_results.data(), count));
  for (std::size_t q = 0; q < count; ++q) emit(s.block_results[q], request, first + q);
}

template <class Store>
std::expected<void, SearchError> StoredIndex<Store>::search(const SearchRequest& request) const {
  if (request.count == 0) return {};
  std::shared_lock lock(mutex_);
  std::optional<MatchSet> allowed;
  if (request.filter != nullptr) {
    if (!core_.options.schema && !request.filter->all_of.empty())
      return std::unexpected(SearchError::NoSchema);
    static const Schema kNoSchema;
    const std::string* unknown = nullptr;
    allowed = MatchSet::of(*request.filter, core_.options.schema ? *core_.options.schema : kNoSchema,
                           core_.values, core_.nodes_by_label, core_.graph.size(), &unknown);
    if (!allowed) return std::unexpected(SearchError::UnknownAttribute);
  }
  const MatchSet* admitted = allowed ? &*allowed : nullptr;
  const std::size_t ef = std::max(request.ef, request.k);
  const bool scan = request.exact ||
                    (admitted != nullptr && admitted->prefers_scan(ef, core_.options.m, core_.graph.size()));
  // A scan serves queries in blocks that share each read of the rows: up to
  // 64 (rows are then read from memory once per 64 queries), fewer while
  // that would leave threads without a block.
  const std::size_t threads = resolve_threads(request.threads);
  const std::size_t kBlock =
      std::clamp<std::size_t>(request.count / threads + (request.count % threads != 0), 16, 64);
  const std::size_t tasks = scan ? (request.count + kBlock - 1) / kBlock : request.count;
  const std::size_t workers = std::min(threads, tasks);
  const Lease scratch = lease_scratch(workers, core_.graph.size());
  // The index is held shared, so whether an addition is linking cannot
  // change during this search.
  const bool linking = core_.linking();
  parallel_for(tasks, workers, [&](std::size_t worker, std::size_t task) {
    if (!scan && linking) return search_one<true>(scratch[worker], request, task, admitted);
    if (!scan) return search_one<false>(scratch[worker], request, task, admitted);
    const std::size_t first = task * kBlock;
    scan_block(scratch[worker], request, first, std::min(kBlock, request.count - first), admitted);
  });
  return {};
}

template std::expected<void, SearchError> StoredIndex<FullRows<float>>::search(const SearchRequest&) const;
template std::expected<void, SearchError> StoredIndex<FullRows<double>>::search(const SearchRequest&) const;
template std::expected<void, SearchError> StoredIndex<CodedRows<float>>::search(const SearchRequest&) const;
template std::expected<void, SearchError> StoredIndex<CodedRows<double>>::search(const SearchRequest&) const;

}  // namespace hobrin::ann
