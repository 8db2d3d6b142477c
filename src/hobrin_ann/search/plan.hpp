#pragma once
// What every query of one search does, settled once before the first: the
// nodes a filter admits, the walk's candidate list, whether the best are
// re-ranked on full rows, and whether the queries walk the graph or scan.
#include <algorithm>
#include <cstddef>
#include <expected>
#include <optional>
#include <utility>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/core/search_request.hpp"
#include "hobrin_ann/search/match_set.hpp"

namespace hobrin::ann {

struct SearchPlan {
  // The walk's candidate list: the request's ef, at least k, and at least
  // the re-rank count where the best are re-ranked.
  std::size_t ef = 1;
  // Whether the walk's best are scored again on full rows: only a store of
  // codes that keeps them does; then `rerank` of them (0: all the walk
  // keeps). Elsewhere the request's rerank has no effect.
  bool rescore = false;
  std::size_t rerank = 0;
  std::optional<MatchSet> allowed;  // the nodes a filter admits, when there is one
  bool scan = false;                // score every admitted row instead of walking the graph
  bool locked = false;              // an addition is linking: the walks read lists under locks
  std::size_t block = 1;            // queries per task
  std::size_t tasks = 0;

  const MatchSet* admitted() const noexcept { return allowed ? &*allowed : nullptr; }
};

// Queries per block of a scan of `count` queries on `threads` threads.
// Blocks share each read of the rows: up to 256 (rows are then read from
// memory once per 256 queries), fewer while that would leave threads
// without a block.
inline std::size_t scan_block(std::size_t count, std::size_t threads) noexcept {
  return std::clamp<std::size_t>(count / threads + (count % threads != 0), 16, 256);
}

// The plan of `request` over `core`, held shared by the caller (so whether
// an addition is linking cannot change), served by `threads` threads; or why
// its filter is refused.
template <class Store>
std::expected<SearchPlan, FilterRefusal> plan_search(const IndexCore<Store>& core,
                                                     const SearchRequest& request, std::size_t threads) {
  SearchPlan plan;
  const std::size_t nodes = core.graph.size();
  if (request.filter != nullptr) {
    auto allowed =
        MatchSet::of(*request.filter, core.options.schema, core.values, core.nodes_by_label, nodes);
    if (!allowed) return std::unexpected(std::move(allowed.error()));
    plan.allowed.emplace(std::move(*allowed));
  }
  if constexpr (Store::kCoded) plan.rescore = core.store.keeps_vectors();
  plan.rerank = plan.rescore ? request.rerank : 0;
  plan.ef = std::max({request.ef, request.k, plan.rerank});
  plan.scan = request.exact || (plan.allowed && plan.allowed->prefers_scan(plan.ef, core.options.m, nodes));
  plan.locked = core.linking();
  if (plan.scan) plan.block = scan_block(request.count, threads);
  plan.tasks = (request.count + plan.block - 1) / plan.block;
  return plan;
}

}  // namespace hobrin::ann
