// Searches: the index held shared for the whole search, the plan settled
// once, and the queries (or blocks of them, for scans) spread over threads;
// each task is search/'s from start to end.
#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/search/query.hpp"

namespace hobrin::ann {

template <class Store>
std::expected<void, FilterRefusal> StoredIndex<Store>::search(const SearchRequest& request) const {
  if (request.count == 0) return {};
  std::shared_lock lock(mutex_);
  const std::size_t threads = resolve_threads(request.threads);
  const auto plan = plan_search(core_, request, threads);
  if (!plan) return std::unexpected(plan.error());
  const std::size_t workers = std::min(threads, plan->tasks);
  const Lease scratch = lease_scratch(workers, core_.graph.size());
  parallel_for(plan->tasks, workers, [&](std::size_t worker, std::size_t task) {
    search_task(core_, scratch[worker], request, *plan, task);
  });
  return {};
}

#define HOBRIN_ANN_INSTANTIATE_SEARCH(Store) \
  template std::expected<void, FilterRefusal> StoredIndex<Store>::search(const SearchRequest&) const;
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE_SEARCH)
#undef HOBRIN_ANN_INSTANTIATE_SEARCH

}  // namespace hobrin::ann
