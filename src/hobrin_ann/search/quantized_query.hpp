#pragma once
// One query of an index with quantization Graph: the descent through the
// upper layers over their 8-bit copy (UpperRows), then the walk on layer 0 over the
// blocks (quantized_walk.hpp), whose results are expanded nodes. A cosine
// index's results are scored once more by the store, so that a result's
// distance is the one the index's other searches report (the walk ranks
// unit rows by Euclidean distance, which orders them as cosine does).
#include <algorithm>
#include <cstddef>

#include "hobrin_ann/search/quantized_walk.hpp"
#include "hobrin_ann/search/query.hpp"

namespace hobrin::ann {

// Whether a filter admits so many nodes that the quantized walk serves it,
// its matches taken among the nodes it expands: at least half of them.
inline bool broad(const MatchSet& allowed, std::size_t nodes) noexcept {
  return allowed.count() * 2 >= nodes;
}

// What a quantized query reads besides the core: the blocks, the upper
// layers' copy (none: the descent scores the store's rows) and the kernels.
struct QuantizedSearch {
  const QuantizedBlocks& blocks;
  fast::FastScanKernels scan;
  fast::FastKernels<float> floats;
  const UpperRows* upper = nullptr;
  fast::CodeKernels codes{};
};

// Query `query_index` of `request`, its results written into the request.
// The caller holds the index shared and no addition is linking, so lists,
// the entry point and the blocks stay as they are.
template <class Store>
void quantized_query(IndexCore<Store>& core, Scratch<Store>& s, QuantizedWalkScratch& walk,
                     const QuantizedSearch& with, const SearchRequest& request, const SearchPlan& plan,
                     std::size_t query_index) {
  using Value = typename Store::Value;
  const auto* values = static_cast<const Value*>(request.queries) + query_index * core.options.dim;
  const typename Store::Query query = core.store.prepare(values, s.query, 0);
  s.results.clear();
  const bool copied = with.upper != nullptr && !with.upper->empty() &&
                      with.upper->node(with.upper->entry()) == core.entry_point &&
                      with.upper->top_level() == core.top_level;
  const std::uint32_t entry =
      copied ? descend_codes(*with.upper, with.codes, walk, query) : descend(core, s, query);
  if (entry != kNoNode) {
    const MatchSet* allowed = plan.admitted();
    auto admit = [&core, allowed](std::uint32_t node) {
      return core.returnable(node) && (allowed == nullptr || allowed->contains(node));
    };
    // The pool holds nodes that fail a filter too: it grows by as many as
    // the filter leaves out, up to twice (broad filters only come here).
    std::size_t ef = plan.ef;
    if (allowed != nullptr) {
      const std::size_t matches = std::max<std::size_t>(allowed->count(), 1);
      const std::size_t left_out = core.graph.size() - std::min(core.graph.size(), matches);
      // ef * left_out / matches without overflow: both counts are below 2^32.
      const std::size_t extra = ef / matches * left_out + ef % matches * left_out / matches;
      ef = extra > SIZE_MAX - ef ? SIZE_MAX : ef + extra;
    }
    // Copies of one vector take at most k places: more could not change the answer.
    const bool cosine = core.options.metric == Metric::Cosine;
    quantized_walk(with.blocks, core.store.rows(), with.scan, with.floats, walk, query, entry, ef, request.k,
                   admit, request.k, cosine);
    if (core.options.metric == Metric::Euclidean) {
      // The walk scored each result with the store's own kernel on its
      // row: the store's distance already, bit for bit.
      s.results.assign(walk.results.begin(), walk.results.end());
    } else {
      // Each result's row was read by the walk just now.
      for (const Scored<float>& found : walk.results)
        s.results.push_back({core.store.exact_score(query, found.node), found.node});
      std::make_heap(s.results.begin(), s.results.end());
    }
  }
  emit(core, s.results, request, query_index);
}

}  // namespace hobrin::ann
