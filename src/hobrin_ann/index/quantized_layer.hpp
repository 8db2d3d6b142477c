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
// keeps the mean of the first (codes depend on it) and keeps every block
// whose codes cannot have changed: its node's row and list and its lanes'
// rows all as they were (its top-up is kept as it was). A row changes only
// where an addition reuses a removed node's slot, which the addition
// reports (rewriting()) before it writes the row. The rest are filled and
// encoded anew, rotating only their rows and their lanes', so that after a
// small change the build costs little more than finding what changed.
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

// Spreads a build's chunks over every core: a search waits for the blocks,
// and so would every search after it.
inline ChunkRunner block_runner() {
  const std::size_t workers = resolve_threads(0);
  return [workers](std::size_t count, const ChunkBody& body) {
    constexpr std::size_t chunk = 512;
    parallel_for((count + chunk - 1) / chunk, workers,
                 [&](std::size_t, std::size_t at) { body(at * chunk, std::min(count, (at + 1) * chunk)); });
  };
}

// What a build of `core`'s blocks works from: per node whether the block of
// `previous` (built from the lists `read`; none where null) can be kept,
// and every node's list topped up for its block.
struct BlockPlan {
  std::size_t lanes = 0;
  std::vector<std::uint8_t> copied;
  // `lanes` slots per node, kNoNode past its end (and in full for a kept block)
  std::vector<std::uint32_t> lists;

  std::span<const std::uint32_t> list_of(std::uint32_t node) const noexcept {
    const std::uint32_t* list = lists.data() + std::size_t{node} * lanes;
    const auto end = std::find(list, list + lanes, kNoNode);
    return std::span<const std::uint32_t>(list, static_cast<std::size_t>(end - list));
  }
};

// Whether blocks built from the lists `read` can serve as `core`'s earlier blocks.
template <class Store>
bool blocks_fit(const IndexCore<Store>& core, const QuantizedBlocks& blocks, const ReadLists& read) {
  return blocks.lanes() == quantized_lanes(core.graph.m()) && blocks.dim() == core.options.dim &&
         read.slots == core.graph.max_links(0) && read.lists.size() == blocks.size() * read.slots;
}

// Which blocks of `previous` stay: a block is kept where its row and list
// are as they were and so is every lane's row, so that its codes are those
// it would be encoded with. Its top-up may be one a build from nothing would
// no longer choose (its neighbours' lists may have changed), but each lane
// is still a node two hops away at most, with exact codes.
template <class Store>
std::vector<std::uint8_t> kept_blocks(const IndexCore<Store>& core, const QuantizedBlocks* previous,
                                      const ReadLists& read, const ChunkRunner& run) {
  const std::size_t nodes = core.graph.size();
  const std::size_t before = previous != nullptr ? std::min(previous->size(), nodes) : 0;
  const std::size_t slots = read.slots;
  // Where a node's row is as it was: every node of the earlier build but
  // those whose slots an addition reported overwriting.
  std::vector<std::uint8_t> rows(nodes, 0);
  std::fill_n(rows.begin(), before, std::uint8_t{1});
  for (const std::uint32_t node : read.rewritten) {
    if (node < nodes) rows[node] = 0;
  }
  std::vector<std::uint8_t> copied(nodes, 0);
  run(before, [&](std::size_t begin, std::size_t end) {
    for (std::size_t node = begin; node < end; ++node) {
      if (rows[node] == 0) continue;
      const auto n = static_cast<std::uint32_t>(node);
      const auto list = core.graph.links(n, 0);
      const std::uint32_t* old = read.lists.data() + node * slots;
      if (!std::equal(list.begin(), list.end(), old) || (list.size() != slots && old[list.size()] != kNoNode))
        continue;
      bool lanes_same = true;
      for (std::size_t group = 0; group < previous->groups(); ++group) {
        for (const std::uint32_t *id = previous->ids(n, group), *last = id + QuantizedBlocks::kLanes;
             id != last; ++id) {
          lanes_same = lanes_same && (*id == kNoNode || (*id < nodes && rows[*id] != 0));
        }
      }
      copied[node] = lanes_same ? 1 : 0;
    }
  });
  return copied;
}

template <class Store>
BlockPlan plan_blocks(const IndexCore<Store>& core, const QuantizedBlocks* previous, const ReadLists& read,
                      const ChunkRunner& run) {
  BlockPlan plan;
  plan.lanes = quantized_lanes(core.graph.m());
  plan.copied = kept_blocks(core, previous, read, run);
  // A kept block's list is never read: its block is copied or left as it is.
  auto kept_list = [&](std::uint32_t node, std::uint32_t*) { return plan.copied[node] != 0; };
  auto links = [&core](std::uint32_t node) { return core.graph.links(node, 0); };
  auto distance = [&core](std::uint32_t a, std::uint32_t b) {
    return static_cast<float>(core.store.score_pair(a, b));
  };
  plan.lists = filled_lists(core.graph.size(), links, distance, plan.lanes, run, kept_list);
  return plan;
}

// Keeps `core`'s layer-0 lists in `read`, for the next build to compare with.
template <class Store>
void remember_lists(const IndexCore<Store>& core, ReadLists& read) {
  const std::size_t nodes = core.graph.size();
  read.rewritten.clear();
  read.slots = core.graph.max_links(0);
  read.lists.assign(nodes * read.slots, kNoNode);
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto list = core.graph.links(static_cast<std::uint32_t>(node), 0);
    std::copy(list.begin(), list.end(), read.lists.begin() + static_cast<std::ptrdiff_t>(node * read.slots));
  }
}

// The blocks of `core`, taking what it can from `previous` (built from the
// lists `read`, which this build replaces with the lists it reads), or none.
// Blocks that replace others get room to grow by an eighth, so that the
// next small addition can update them in place (see update_blocks).
// Throws std::bad_alloc.
template <class Store>
std::shared_ptr<QuantizedBlocks> build_blocks(const IndexCore<Store>& core, const QuantizedBlocks* previous,
                                              ReadLists& read) {
  const std::size_t nodes = core.graph.size();
  const ChunkRunner run = block_runner();
  if (previous != nullptr && !blocks_fit(core, *previous, read)) previous = nullptr;
  const BlockPlan plan = plan_blocks(core, previous, read, run);
  auto row_of = [&core](std::uint32_t node) { return core.store.rows().row(node); };
  auto list_of = [&plan](std::uint32_t node) { return plan.list_of(node); };
  const BlockReuse reuse{previous, [&plan](std::uint32_t node) { return plan.copied[node] != 0; }};
  const std::size_t room = previous != nullptr && nodes > previous->size() ? nodes + nodes / 8 : nodes;
  auto blocks =
      std::make_shared<QuantizedBlocks>(core.options.dim, nodes, row_of, list_of,
                                        quantized_seed(core.options), true, plan.lanes, run, reuse, room);
  remember_lists(core, read);
  return blocks;
}

// Brings `blocks` (built from the lists `read`) up to date with `core` in
// place, re-encoding only the blocks whose codes changed; false, having
// changed nothing, where they do not fit or lack the room. The caller must
// be the blocks' only reader. Throws std::bad_alloc.
template <class Store>
bool update_blocks(const IndexCore<Store>& core, QuantizedBlocks& blocks, ReadLists& read) {
  if (!blocks_fit(core, blocks, read) || core.graph.size() > blocks.capacity()) return false;
  const ChunkRunner run = block_runner();
  const BlockPlan plan = plan_blocks(core, &blocks, read, run);
  auto row_of = [&core](std::uint32_t node) { return core.store.rows().row(node); };
  auto list_of = [&plan](std::uint32_t node) { return plan.list_of(node); };
  auto copied = [&plan](std::uint32_t node) { return plan.copied[node] != 0; };
  blocks.update(core.graph.size(), row_of, list_of, copied, run);
  remember_lists(core, read);
  return true;
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

  // The blocks and upper copy of `core`, built first if out of date.
  // Throws std::bad_alloc.
  template <class Store>
  Built built(const IndexCore<Store>& core) const {
    std::lock_guard guard(mutex_);
    const std::uint64_t now = changes_.load(std::memory_order_relaxed);
    if (blocks_ == nullptr || upper_ == nullptr || built_ != now) {
      // Made first, so that a failure leaves both as they were.
      Upper upper = build_upper(core);
      // Blocks no search holds (none but this layer has them, and a search
      // takes them only here) are updated in place. Others stay until the
      // new ones are made, which copy from them.
      const bool alone = blocks_ != nullptr && blocks_.use_count() == 1;
      bool updated = false;
      if (alone) {
        // The last search to let go of them did so before this: its reads end before these writes.
        std::atomic_thread_fence(std::memory_order_acquire);
        try {
          updated = update_blocks(core, *blocks_, read_);
        } catch (...) {
          blocks_.reset();  // half updated: the next search builds anew
          throw;
        }
      }
      if (!updated) blocks_ = build_blocks(core, blocks_.get(), read_);
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
  mutable std::shared_ptr<QuantizedBlocks> blocks_;
  mutable Upper upper_;
  mutable std::uint64_t built_ = 0;
  mutable ReadLists read_;  // the lists blocks_ were built from
  mutable std::vector<std::unique_ptr<QuantizedWalkScratch>> free_;
};

}  // namespace hobrin::ann
