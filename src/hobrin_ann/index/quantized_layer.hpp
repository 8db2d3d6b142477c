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
// The blocks keep a copy of each row beside the store's. A build after a
// change keeps the mean of the first (codes depend on it) and copies every
// block whose content cannot have changed: its node's row and list, its
// neighbours' lists (which its top-up reads) and its lanes' rows all as
// they were. The rest are filled and encoded anew; the result is the same,
// byte for byte, as a build from nothing with that mean.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The seed of the blocks' rotation: any fixed one serves, since the blocks
// are never saved; the index's own seed where it has one.
inline std::uint64_t quantized_seed(const IndexOptions& options) noexcept {
  return options.seed.value_or(0) ^ 0x6a09e667f3bcc909ull;
}

// The graph's layer-0 lists as a build read them: `slots` per node.
struct ReadLists {
  std::size_t slots = 0;
  std::vector<std::uint32_t> lists;
};

// The blocks of `core`, taking what it can from `previous` (built from the
// lists `read`, which this build replaces with the lists it reads), or none.
// Throws std::bad_alloc.
template <class Store>
std::shared_ptr<const QuantizedBlocks> build_blocks(const IndexCore<Store>& core,
                                                    const QuantizedBlocks* previous, ReadLists& read) {
  const std::size_t nodes = core.graph.size();
  const std::size_t lanes = quantized_lanes(core.graph.m());
  const std::size_t slots = core.graph.max_links(0);
  // Every core builds: a search waits for the blocks, and so would every
  // search after it.
  const std::size_t workers = resolve_threads(0);
  const ChunkRunner run = [workers](std::size_t count, const ChunkBody& body) {
    constexpr std::size_t chunk = 512;
    parallel_for((count + chunk - 1) / chunk, workers,
                 [&](std::size_t, std::size_t at) { body(at * chunk, std::min(count, (at + 1) * chunk)); });
  };
  auto links = [&core](std::uint32_t node) { return core.graph.links(node, 0); };
  auto row_of = [&core](std::uint32_t node) { return core.store.rows().row(node); };
  if (previous != nullptr && (previous->lanes() != lanes || previous->dim() != core.options.dim ||
                              read.slots != slots || read.lists.size() != previous->size() * slots))
    previous = nullptr;
  const std::size_t before = previous != nullptr ? previous->size() : 0;
  // Per node: 1 where its row is as it was, 2 where its list is too; then
  // 4 where its top-up is (its neighbours' lists are as they were too).
  std::vector<std::uint8_t> same(nodes, 0);
  run(nodes, [&](std::size_t begin, std::size_t end) {
    for (std::size_t node = begin; node < std::min(end, before); ++node) {
      const auto n = static_cast<std::uint32_t>(node);
      if (std::memcmp(previous->row(n), row_of(n), previous->row_length() * sizeof(float)) != 0) continue;
      const auto list = links(n);
      const std::uint32_t* old = read.lists.data() + node * slots;
      const bool listed =
          std::equal(list.begin(), list.end(), old) && (list.size() == slots || old[list.size()] == kNoNode);
      same[node] = listed ? 3 : 1;
    }
  });
  run(nodes, [&](std::size_t begin, std::size_t end) {
    for (std::size_t node = begin; node < end; ++node) {
      if (same[node] != 3) continue;
      const auto list = links(static_cast<std::uint32_t>(node));
      if (std::all_of(list.begin(), list.end(), [&](std::uint32_t to) { return (same[to] & 2) != 0; }))
        same[node] |= 4;
    }
  });
  auto kept_list = [&](std::uint32_t node, std::uint32_t* out) {
    if ((same[node] & 4) == 0) return false;
    for (std::size_t group = 0; group < lanes / QuantizedBlocks::kLanes; ++group)
      std::copy_n(previous->ids(node, group), QuantizedBlocks::kLanes, out + group * QuantizedBlocks::kLanes);
    return true;
  };
  auto distance = [&core](std::uint32_t a, std::uint32_t b) {
    return static_cast<float>(core.store.score_pair(a, b));
  };
  const std::vector<std::uint32_t> lists = filled_lists(nodes, links, distance, lanes, run, kept_list);
  auto list_of = [&](std::uint32_t node) {
    const std::uint32_t* list = lists.data() + std::size_t{node} * lanes;
    const auto end = std::find(list, list + lanes, kNoNode);
    return std::span<const std::uint32_t>(list, static_cast<std::size_t>(end - list));
  };
  // A block is copied when its top-up is as it was and so is every lane's row.
  BlockReuse reuse{previous, [&](std::uint32_t node) {
                     if ((same[node] & 4) == 0) return false;
                     const auto list = list_of(node);
                     return std::all_of(list.begin(), list.end(),
                                        [&](std::uint32_t to) { return (same[to] & 1) != 0; });
                   }};
  const std::uint64_t seed = quantized_seed(core.options);
  auto blocks = std::make_shared<const QuantizedBlocks>(core.options.dim, nodes, row_of, list_of, seed, true,
                                                        lanes, run, reuse);
  // The lists as read, for the next build.
  read.slots = slots;
  read.lists.assign(nodes * slots, kNoNode);
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto list = links(static_cast<std::uint32_t>(node));
    std::copy(list.begin(), list.end(), read.lists.begin() + static_cast<std::ptrdiff_t>(node * slots));
  }
  return blocks;
}

// Dimensions the upper layers' copy keeps of `dim`: a quarter, and at least
// 192. The descent only chooses where the walk starts, and the dimensions of
// widest spread place a query well enough: recall at equal ef was unchanged
// with 64 to 256 of them on Fashion-MNIST (784), its rows at unit length, a
// 384-d embedding-like set and clustered 784-d data, and within 0.01 either
// way with 64 or 128 of 256 on Gaussian data. The descent's share of a
// Fashion-MNIST query (perf, one thread) was 15-17% over the float rows,
// 12% over codes of every dimension, and 5-6% over codes of 196.
constexpr std::size_t upper_dims(std::size_t dim) noexcept { return std::max<std::size_t>(192, dim / 4); }

// The compact copy of `core`'s upper layers that its quantized queries
// descend through. A cosine index's rows are at unit length (or zero), so
// it ranks them by squared Euclidean distance too, which orders unit rows as
// cosine does and lets a distance stop early once it is past the nearest.
// Throws std::bad_alloc.
template <class Store>
std::shared_ptr<const UpperRows> build_upper(const IndexCore<Store>& core) {
  const bool cosine = core.options.metric == Metric::Cosine;
  return std::make_shared<const UpperRows>(
      core.graph, core.entry_point, core.top_level, core.options.dim, fast::Measure::SquaredEuclidean, cosine,
      [&core](std::uint32_t node) { return core.store.rows().row(node); }, upper_dims(core.options.dim));
}

class QuantizedLayer {
 public:
  using Blocks = std::shared_ptr<const QuantizedBlocks>;
  using Upper = std::shared_ptr<const UpperRows>;
  // What one build makes: the blocks and the upper layers' copy.
  struct Built {
    Blocks blocks;
    Upper upper;
  };

  // The graph or the rows changed: the blocks are out of date.
  void changed() noexcept { changes_.fetch_add(1, std::memory_order_relaxed); }

  // The blocks and upper copy of `core`, built first if out of date.
  // Throws std::bad_alloc.
  template <class Store>
  Built built(const IndexCore<Store>& core) const {
    std::lock_guard guard(mutex_);
    const std::uint64_t now = changes_.load(std::memory_order_relaxed);
    if (blocks_ == nullptr || upper_ == nullptr || built_ != now) {
      // The old blocks stay until the new ones are made, which copy from them.
      Upper upper = build_upper(core);
      blocks_ = build_blocks(core, blocks_.get(), read_);
      upper_ = std::move(upper);
      built_ = now;
    }
    return {blocks_, upper_};
  }

  std::size_t bytes() const {
    std::lock_guard guard(mutex_);
    return (blocks_ ? blocks_->bytes() : 0) + (upper_ ? upper_->bytes() : 0);
  }

  // A walk's scratch for up to `ef` candidates, reused from call to call.
  std::unique_ptr<QuantizedWalkScratch> take_scratch(const Built& built, std::size_t ef) const {
    std::unique_ptr<QuantizedWalkScratch> scratch;
    {
      std::lock_guard guard(mutex_);
      if (!free_.empty()) {
        scratch = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (scratch == nullptr) {
      scratch = std::make_unique<QuantizedWalkScratch>(*built.blocks, std::min(ef, built.blocks->size()));
    } else {
      scratch->seen.reserve(built.blocks->size());
    }
    scratch->fit(*built.upper);
    return scratch;
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
  std::atomic<std::uint64_t> changes_{0};
  mutable std::mutex mutex_;
  mutable Blocks blocks_;
  mutable Upper upper_;
  mutable std::uint64_t built_ = 0;
  mutable ReadLists read_;  // the lists blocks_ were built from
  mutable std::vector<std::unique_ptr<QuantizedWalkScratch>> free_;
};

}  // namespace hobrin::ann
