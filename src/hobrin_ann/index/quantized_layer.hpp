#pragma once
// The blocks of an index with quantization Graph (store/quantized_blocks.hpp):
// built from the graph's layer-0 lists, topped up from two hops, and its rows,
// by the first search after a change that walks them (unfiltered, or with a
// broad filter), and shared by the searches that follow until the next one.
// Each build centres the codes on the mean of the rows it finds. A change is an addition or a removal
// (both bump changed() under the index's exclusive lock); a search builds
// only while it holds the index shared and no addition or repair is linking,
// so the lists cannot change under the build. Searches beside a change walk
// the graph the usual way, so no block is ever read half written.
//
// The blocks keep a copy of each row beside the store's, and every change
// rebuilds them whole (the codes of an edge depend only on its two rows, but
// which edges a block holds depends on lists that an addition changes all
// over the graph).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/search/quantized_walk.hpp"
#include "hobrin_ann/store/quantized_blocks.hpp"

namespace hobrin::ann {

// Lanes per block for links of m: 2m layer-0 links, rounded up to whole
// groups of 32 (a group scores 32 lanes for the cost of any fewer).
constexpr std::size_t quantized_lanes(std::size_t m) noexcept {
  return (2 * m + QuantizedBlocks::kLanes - 1) / QuantizedBlocks::kLanes * QuantizedBlocks::kLanes;
}

class QuantizedLayer {
 public:
  using Blocks = std::shared_ptr<const QuantizedBlocks>;

  // The graph or the rows changed: the blocks are out of date.
  void changed() noexcept { changes_.fetch_add(1, std::memory_order_relaxed); }

  // The blocks of `core`, built first if out of date. Throws std::bad_alloc.
  template <class Store>
  Blocks blocks(const IndexCore<Store>& core) const {
    std::lock_guard guard(mutex_);
    const std::uint64_t now = changes_.load(std::memory_order_relaxed);
    if (blocks_ == nullptr || built_ != now) {
      blocks_.reset();  // the old ones go before the new ones are made
      blocks_ = build(core);
      built_ = now;
    }
    return blocks_;
  }

  std::size_t bytes() const {
    std::lock_guard guard(mutex_);
    return blocks_ ? blocks_->bytes() : 0;
  }

  // A walk's scratch for up to `ef` candidates, reused from call to call.
  std::unique_ptr<QuantizedWalkScratch> take_scratch(const QuantizedBlocks& blocks, std::size_t ef) const {
    {
      std::lock_guard guard(mutex_);
      if (!free_.empty()) {
        auto scratch = std::move(free_.back());
        free_.pop_back();
        scratch->seen.reserve(blocks.size());
        return scratch;
      }
    }
    return std::make_unique<QuantizedWalkScratch>(blocks, std::min(ef, blocks.size()));
  }
  void give_back(std::unique_ptr<QuantizedWalkScratch> scratch) const noexcept {
    std::lock_guard guard(mutex_);
    if (free_.size() < 64) {
      try {
        free_.push_back(std::move(scratch));
      } catch (...) {
        // Not kept: the next search makes another.
      }
    }
  }

 private:
  template <class Store>
  static Blocks build(const IndexCore<Store>& core) {
    const std::size_t nodes = core.graph.size();
    const std::size_t lanes = quantized_lanes(core.graph.m());
    auto links = [&core](std::uint32_t node) { return core.graph.links(node, 0); };
    auto distance = [&core](std::uint32_t a, std::uint32_t b) {
      return static_cast<float>(core.store.score_pair(a, b));
    };
    // Every core builds: a search waits for the blocks, and so would every
    // search after it.
    const std::size_t workers = resolve_threads(0);
    const ChunkRunner run = [workers](std::size_t count, const ChunkBody& body) {
      constexpr std::size_t chunk = 512;
      parallel_for((count + chunk - 1) / chunk, workers,
                   [&](std::size_t, std::size_t at) { body(at * chunk, std::min(count, (at + 1) * chunk)); });
    };
    const std::vector<std::uint32_t> lists = filled_lists(nodes, links, distance, lanes, run);
    auto list_of = [&](std::uint32_t node) {
      const std::uint32_t* list = lists.data() + std::size_t{node} * lanes;
      const auto end = std::find(list, list + lanes, kNoNode);
      return std::span<const std::uint32_t>(list, static_cast<std::size_t>(end - list));
    };
    auto row_of = [&core](std::uint32_t node) { return core.store.rows().row(node); };
    const std::uint64_t seed = core.options.seed.value_or(0) ^ 0x6a09e667f3bcc909ull;
    return std::make_shared<const QuantizedBlocks>(core.options.dim, nodes, row_of, list_of, seed, true,
                                                   lanes, run);
  }

  std::atomic<std::uint64_t> changes_{0};
  mutable std::mutex mutex_;
  mutable Blocks blocks_;
  mutable std::uint64_t built_ = 0;
  mutable std::vector<std::unique_ptr<QuantizedWalkScratch>> free_;
};

}  // namespace hobrin::ann
