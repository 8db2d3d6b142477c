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
// The blocks keep no rows: a walk reads the store's. A build after a change
// keeps the mean of the first (codes depend on it) and copies every block
// whose content cannot have changed: its node's row and list, its
// neighbours' lists (which its top-up reads) and its lanes' rows all as
// they were. A row changes only where an addition reuses a removed node's
// slot, which the addition reports (rewriting()) before it writes the row;
// rows the blocks do not hold cannot be compared. The rest are filled and
// encoded anew; the result is the same, byte for byte, as a build from
// nothing with that mean.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
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

// The graph's layer-0 lists as a build read them: `slots` per node; and
// the nodes whose rows were overwritten since (in any order, repeats
// allowed), which the next build takes and clears.
struct ReadLists {
  std::size_t slots = 0;
  std::vector<std::uint32_t> lists;
  std::vector<std::uint32_t> rewritten;
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
  // Per node, each pass reading only what the one before wrote: rows[node]
  // where its row is as it was; in same[node], 1 where its list is too and
  // 2 where its list's rows are too; kept[node] where its top-up is (its
  // list, its neighbours' lists and the rows of their members, which it
  // ranks, all as they were).
  std::vector<std::uint8_t> rows(nodes, 0), same(nodes, 0), kept(nodes, 0);
  std::fill(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(std::min(before, nodes)), 1);
  for (const std::uint32_t node : read.rewritten) {
    if (node < nodes) rows[node] = 0;
  }
  run(nodes, [&](std::size_t begin, std::size_t end) {
    for (std::size_t node = begin; node < std::min(end, before); ++node) {
      if (rows[node] == 0) continue;
      const auto list = links(static_cast<std::uint32_t>(node));
      const std::uint32_t* old = read.lists.data() + node * slots;
      const bool listed =
          std::equal(list.begin(), list.end(), old) && (list.size() == slots || old[list.size()] == kNoNode);
      const bool rows_kept =
          std::all_of(list.begin(), list.end(), [&](std::uint32_t to) { return rows[to] != 0; });
      same[node] = static_cast<std::uint8_t>((listed ? 1 : 0) | (rows_kept ? 2 : 0));
    }
  });
  run(nodes, [&](std::size_t begin, std::size_t end) {
    for (std::size_t node = begin; node < end; ++node) {
      if ((same[node] & 1) == 0) continue;
      const auto list = links(static_cast<std::uint32_t>(node));
      kept[node] = std::all_of(list.begin(), list.end(), [&](std::uint32_t to) { return same[to] == 3; });
    }
  });
  auto kept_list = [&](std::uint32_t node, std::uint32_t* out) {
    if (kept[node] == 0) return false;
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
                     if (kept[node] == 0) return false;
                     const auto list = list_of(node);
                     return std::all_of(list.begin(), list.end(),
                                        [&](std::uint32_t to) { return rows[to] != 0; });
                   }};
  const std::uint64_t seed = quantized_seed(core.options);
  auto blocks = std::make_shared<const QuantizedBlocks>(core.options.dim, nodes, row_of, list_of, seed, true,
                                                        lanes, run, reuse);
  // The lists as read, for the next build.
  read.rewritten.clear();
  read.slots = slots;
  read.lists.assign(nodes * slots, kNoNode);
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto list = links(static_cast<std::uint32_t>(node));
    std::copy(list.begin(), list.end(), read.lists.begin() + static_cast<std::ptrdiff_t>(node * slots));
  }
  return blocks;
}

class QuantizedLayer {
 public:
  using Blocks = std::shared_ptr<const QuantizedBlocks>;

  // The graph or the rows changed: the blocks are out of date.
  void changed() noexcept { changes_.fetch_add(1, std::memory_order_relaxed); }

  // The rows of `nodes` are about to be overwritten (their slots reused):
  // the next build encodes their blocks, and those that code them, anew.
  // Called before the rows change, and kept should the change be undone.
  // Without the memory to note them, the blocks are dropped instead, and
  // the next build copies none.
  void rewriting(std::span<const std::uint32_t> nodes) noexcept {
    if (nodes.empty()) return;
    std::lock_guard guard(mutex_);
    if (blocks_ == nullptr) return;  // no build to copy from
    std::vector<std::uint32_t>& noted = read_.rewritten;
    try {
      // Only nodes the blocks hold matter: a build copies no other block.
      for (const std::uint32_t node : nodes) {
        if (node < blocks_->size()) noted.push_back(node);
      }
      // Many additions between two builds note a slot more than once.
      if (noted.size() > 2 * blocks_->size()) {
        std::sort(noted.begin(), noted.end());
        noted.erase(std::unique(noted.begin(), noted.end()), noted.end());
      }
    } catch (const std::bad_alloc&) {
      blocks_.reset();
      noted.clear();
    }
  }

  // The blocks of `core`, built first if out of date. Throws std::bad_alloc.
  template <class Store>
  Blocks blocks(const IndexCore<Store>& core) const {
    std::lock_guard guard(mutex_);
    const std::uint64_t now = changes_.load(std::memory_order_relaxed);
    if (blocks_ == nullptr || built_ != now) {
      // The old blocks stay until the new ones are made, which copy from them.
      blocks_ = build_blocks(core, blocks_.get(), read_);
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
  std::atomic<std::uint64_t> changes_{0};
  mutable std::mutex mutex_;
  mutable Blocks blocks_;
  mutable std::uint64_t built_ = 0;
  mutable ReadLists read_;  // the lists blocks_ were built from
  mutable std::vector<std::unique_ptr<QuantizedWalkScratch>> free_;
};

}  // namespace hobrin::ann
