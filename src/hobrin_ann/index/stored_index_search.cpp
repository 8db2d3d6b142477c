// Searches: the index held shared for the whole search, the plan settled
// once, and the queries (or blocks of them, for scans) spread over threads;
// each task is search/'s from start to end.
#include <cstdint>
#include <vector>

#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/search/quantized_query.hpp"
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
  if constexpr (std::is_same_v<Store, FullRows<float>>) {
    // Filters that most nodes fail keep the walks that know them (two hops,
    // or a scan); an addition or repair linking keeps lists changing under
    // a walk.
    const bool quantized = core_.options.quantization == Quantization::Graph && !plan->scan &&
                           !plan->locked && (!plan->allowed || broad(*plan->allowed, core_.graph.size()));
    if (quantized) {
      search_quantized(request, *plan, workers, scratch);
      return {};
    }
  }
  // Walks that give up for a scan leave their queries here, to be scanned
  // together afterwards: a block shares each read of the admitted rows,
  // where a scan per query would read them all once per query.
  std::vector<std::uint8_t> gave_up(plan->scan ? 0 : request.count, 0);
  parallel_for(plan->tasks, workers, [&](std::size_t worker, std::size_t task) {
    if (!search_task(core_, scratch[worker], request, *plan, task)) gave_up[task] = 1;
  });
  std::vector<std::uint32_t> left;
  for (std::size_t q = 0; q < gave_up.size(); ++q) {
    if (gave_up[q] != 0) left.push_back(static_cast<std::uint32_t>(q));
  }
  if (left.empty()) return {};
  const std::size_t block = scan_block(left.size(), threads);
  const std::size_t blocks = (left.size() + block - 1) / block;
  parallel_for(blocks, std::min(workers, blocks), [&](std::size_t worker, std::size_t task) {
    const std::size_t first = task * block;
    scan_queries(core_, scratch[worker], request, *plan, 0, std::min(block, left.size() - first),
                 left.data() + first);
  });
  return {};
}

template <class Store>
void StoredIndex<Store>::search_quantized(const SearchRequest& request, const SearchPlan& plan,
                                          std::size_t workers, const Lease& scratch) const {
  const QuantizedLayer::Built built = quantized_.built(core_);
  const QuantizedSearch with{*built.blocks, fast::fastscan_kernels(),
                             fast::fast_kernels<float>(fast::Measure::SquaredEuclidean), built.upper.get(),
                             fast::code_kernels(UpperRows::kCode, built.upper->measure())};
  std::vector<std::unique_ptr<QuantizedWalkScratch>> walks(workers);
  for (auto& walk : walks) walk = quantized_.take_scratch(built, plan.ef);
  parallel_for(plan.tasks, workers, [&](std::size_t worker, std::size_t task) {
    quantized_query(core_, scratch[worker], *walks[worker], with, request, plan, task);
  });
  for (auto& walk : walks) quantized_.give_back(std::move(walk));
}

#define HOBRIN_ANN_INSTANTIATE_SEARCH(Store) \
  template std::expected<void, FilterRefusal> StoredIndex<Store>::search(const SearchRequest&) const;
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE_SEARCH)
#undef HOBRIN_ANN_INSTANTIATE_SEARCH

}  // namespace hobrin::ann
