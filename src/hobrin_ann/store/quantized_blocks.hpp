#pragma once
// One 64-byte aligned block per node for a walk on layer 0 that scores a
// node's neighbours from the node's own block (search/quantized_walk.hpp),
// so that expanding a node reads its block in order and its own row (the
// store's, not copied here) instead of a row per neighbour at random:
//
//   per group of 32 lanes: [codes of its 32 neighbours, 4 * dims B]
//   per group: [add[32], scale[32]: fast::HalfFactor]   per group: [ids[32] u32]
//
// which is a whole number of 64-byte lines (codes take 128 bytes per 32
// dimensions).
//
// A block depends on the rows of its node and of its lanes' neighbours, but
// holds none of them: a build that copies a block from an earlier one must
// know those rows are as they were (index/quantized_layer.hpp).
//
// A block has one group of 32 lanes, or more where a node keeps more
// neighbours (lanes(), a multiple of 32); the walk scans them in turn.
//
// Codes are the 1-bit edge codes of fastscan.hpp, centred on the node:
// neighbour o of node u is coded by the signs of P(o - u). Rows are centred
// on their mean before the rotation P, which changes no distance but
// narrows the query's tables (non-negative data such as pixels would
// otherwise put most of the tables' range into one direction). Lanes past a
// node's list are dead: id kNoNode, zero codes and factors; live() leaves
// them out, so the walk never reads them.
//
// Built whole from a finished graph's layer-0 lists and rows, read-only once
// built, not saved (an index rebuilds its blocks after a change, see
// index/quantized_layer.hpp); Euclidean only (cosine rows are at unit length,
// where the Euclidean order is the cosine order).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hobrin_ann/graph/graph.hpp"
#include "hobrin_ann/kernels/edge_codes.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/kernels/rotation.hpp"
#include "hobrin_ann/store/huge_pages.hpp"

namespace hobrin::ann {

// Runs body(begin, end) over chunks that cover [0, count), on one thread or
// several: how the blocks' build spreads its work.
using ChunkBody = std::function<void(std::size_t, std::size_t)>;
using ChunkRunner = std::function<void(std::size_t, const ChunkBody&)>;
inline void run_in_one_chunk(std::size_t count, const ChunkBody& body) { body(0, count); }

class QuantizedBlocks;

// What a build may take from the blocks it replaces (of the same dim and
// lanes): their mean, so that their codes stay valid, and every block that
// reusable(node) allows, copied whole instead of encoded anew.
struct BlockReuse {
  const QuantizedBlocks* previous = nullptr;
  std::function<bool(std::uint32_t)> reusable;
};

class QuantizedBlocks {
 public:
  static constexpr std::size_t kLanes = fast::kEdgeLanes;
  static constexpr std::size_t kPrefetchBytes = 4096;

  // The blocks of `count` nodes of `dim` values: row_of(node) gives a node's
  // row (read during the build only) padded with zeros to
  // fast::padded_length<float>(dim) values, links_of(node) its layer-0 list
  // (the first `lanes` are kept; `lanes` a positive multiple of 32). Throws
  // std::bad_alloc, or std::length_error when dim is beyond what the
  // rotation takes. With `huge_pages`, the blocks are asked to lie on 2 MiB
  // pages where the system offers them (a block spans a 4 KiB page or two at
  // 784 dimensions).
  template <class Row, class Links>
  QuantizedBlocks(std::size_t dim, std::size_t count, Row&& row_of, Links&& links_of, std::uint64_t seed,
                  bool huge_pages = true, std::size_t lanes = kLanes,
                  const ChunkRunner& run = run_in_one_chunk, const BlockReuse& reuse = {},
                  std::size_t room = 0);

  // Re-encodes in place every block that copied(node) refuses, and those of
  // the nodes from size() to `count`, which must be at most capacity():
  // how a build after a change goes when nothing else reads these blocks.
  template <class Row, class Links, class Copied>
  void update(std::size_t count, Row&& row_of, Links&& links_of, Copied&& copied,
              const ChunkRunner& run = run_in_one_chunk);

  std::size_t dim() const noexcept { return dim_; }
  std::size_t size() const noexcept { return count_; }
  // Lanes per block, and groups of 32 of them.
  std::size_t lanes() const noexcept { return groups_ * kLanes; }
  std::size_t groups() const noexcept { return groups_; }
  // Values of a row (padded, as the store keeps them and as a query is
  // prepared), and of codes (rotated and padded).
  std::size_t row_length() const noexcept { return row_length_; }
  std::size_t code_dims() const noexcept { return code_dims_; }
  std::size_t stride() const noexcept { return stride_; }
  // Blocks there is room for, and the bytes of that room.
  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t bytes() const noexcept { return stride_ * capacity_; }

  // A node's whole block, stride() bytes.
  const std::uint8_t* data(std::uint32_t node) const noexcept { return block(node); }
  // The codes, factors and ids of one group of 32 lanes.
  const std::uint8_t* codes(std::uint32_t node, std::size_t group = 0) const noexcept {
    return block(node) + codes_at_ + group * fast::edge_block_bytes(code_dims_);
  }
  const fast::HalfFactor* add(std::uint32_t node, std::size_t group = 0) const noexcept {
    return reinterpret_cast<const fast::HalfFactor*>(block(node) + factors_at_ +
                                                     group * 2 * kLanes * sizeof(fast::HalfFactor));
  }
  const fast::HalfFactor* scale(std::uint32_t node, std::size_t group = 0) const noexcept {
    return add(node, group) + kLanes;
  }
  const std::uint32_t* ids(std::uint32_t node, std::size_t group = 0) const noexcept {
    return reinterpret_cast<const std::uint32_t*>(block(node) + ids_at_ +
                                                  group * kLanes * sizeof(std::uint32_t));
  }
  // The lanes of one group whose ids name a node, as a mask: a list fills
  // its lanes in order, and dead lanes hold kNoNode. Found from the ids
  // rather than kept, as a word of its own would take a line of 64 bytes.
  std::uint32_t live(std::uint32_t node, std::size_t group = 0) const noexcept {
    const std::uint32_t* id = ids(node, group);
    std::uint32_t mask = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) mask |= std::uint32_t{id[lane] < count_} << lane;
    return mask;
  }

  // Whether the node's row is all zeros (found at the build, in order).
  bool zero_row(std::uint32_t node) const noexcept {
    return !zero_rows_.empty() && std::binary_search(zero_rows_.begin(), zero_rows_.end(), node);
  }

  // Starts loading a block's first kPrefetchBytes: the whole block of one
  // group up to 960 dimensions (3,456 bytes at 784). With the walk's prefetch of the
  // node's row beside it, on Fashion-MNIST (ef 24, one thread, CPU q/s,
  // three alternated runs) the whole block ran 9-20% faster than its first
  // 1 KB; with the row inside the block (106 lines at 784 dimensions), the
  // whole block had been slower than its first 1 KB.
  void prefetch(std::uint32_t node) const noexcept {
    const std::uint8_t* b = block(node);
    const std::size_t bytes = std::min(stride_, kPrefetchBytes);
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(b + at);
  }

  // The query in the codes' space: `padded` (row_length() values, as rows
  // are) centred, rotated and padded to code_dims() values into `rotated`.
  void rotate_query(const float* padded, float* rotated) const noexcept {
    for (std::size_t j = 0; j < code_dims_; ++j) rotated[j] = j < dim_ ? padded[j] - mean_[j] : 0.0f;
    rotation_.apply(rotated);
  }

 private:
  static constexpr std::size_t kPageAlign = std::size_t{1} << 21;
  struct AlignedFree {
    void operator()(std::uint8_t* p) const noexcept { ::operator delete[](p, std::align_val_t{kPageAlign}); }
  };

  std::uint8_t* block(std::uint32_t node) const noexcept { return data_.get() + std::size_t{node} * stride_; }

  // Rows rotated for encoding: only those of the blocks encoded anew and of
  // their lanes, at slot[node] (kNoNode for the rest).
  struct Rotated {
    std::vector<std::uint32_t> slot;
    std::vector<float> values;
    std::size_t width = 0;
    const float* of(std::uint32_t node) const noexcept {
      return values.data() + std::size_t{slot[node]} * width;
    }
  };
  // The mean (the previous blocks' where given) and the zero rows.
  template <class Row>
  void learn_rows(Row&& row_of, const QuantizedBlocks* previous);
  template <class Row, class Links, class Copied>
  Rotated rotate_rows(Row&& row_of, Links&& links_of, Copied&& copied, const ChunkRunner& run) const;
  // Writes node's block whole: its list's codes, factors and ids.
  void encode_block(std::uint32_t node, std::span<const std::uint32_t> list, const Rotated& rotated,
                    std::uint8_t* bits) noexcept;

  std::size_t dim_, count_, capacity_, groups_, row_length_, code_dims_;
  std::size_t codes_at_, factors_at_, ids_at_, stride_;
  std::vector<float> mean_;  // dim values
  std::vector<std::uint32_t> zero_rows_;  // ascending
  fast::Rotation rotation_;
  std::unique_ptr<std::uint8_t[], AlignedFree> data_;
};

template <class Row, class Links>
QuantizedBlocks::QuantizedBlocks(std::size_t dim, std::size_t count, Row&& row_of, Links&& links_of,
                                 std::uint64_t seed, bool huge_pages, std::size_t lanes,
                                 const ChunkRunner& run, const BlockReuse& reuse, std::size_t room)
    : dim_(dim),
      count_(count),
      capacity_(std::max(count, room)),
      groups_(std::max<std::size_t>(1, (lanes + kLanes - 1) / kLanes)),
      row_length_(fast::padded_length<float>(dim)),
      code_dims_(fast::edge_code_dims(dim)),
      codes_at_(0),
      factors_at_(codes_at_ + groups_ * fast::edge_block_bytes(code_dims_)),
      ids_at_(factors_at_ + groups_ * 2 * kLanes * sizeof(fast::HalfFactor)),
      stride_((ids_at_ + groups_ * kLanes * sizeof(std::uint32_t) + 63) / 64 * 64),
      mean_(dim, 0.0f) {
  if (code_dims_ > fast::Rotation::kMaxWidth) throw std::length_error("rows too wide for edge codes");
  rotation_ = fast::Rotation(code_dims_, seed);
  const QuantizedBlocks* previous = reuse.previous;
  if (previous != nullptr &&
      (previous->dim_ != dim_ || previous->groups_ != groups_ || previous->rotation_.seed() != seed))
    previous = nullptr;
  auto copied = [&](std::uint32_t node) {
    return previous != nullptr && node < previous->count_ && reuse.reusable && reuse.reusable(node);
  };
  learn_rows(row_of, previous);
  const Rotated rotated = rotate_rows(row_of, links_of, copied, run);
  if (capacity_ > SIZE_MAX / stride_) throw std::bad_alloc();
  const std::size_t total = std::max<std::size_t>(capacity_ * stride_, 1);
  data_.reset(static_cast<std::uint8_t*>(::operator new[](total, std::align_val_t{kPageAlign})));
  if (huge_pages) advise_huge_pages(data_.get(), total);
  // The room past count is written by the updates that take it, and read by none before.
  if (capacity_ == 0) std::memset(data_.get(), 0, total);
  // Each chunk writes its own blocks whole, so that their pages are first
  // touched by the thread that fills them.
  run(count, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint8_t> bits(fast::edge_bits_bytes(code_dims_));
    for (std::size_t index = begin; index < end; ++index) {
      const auto node = static_cast<std::uint32_t>(index);
      if (copied(node)) {
        std::memcpy(block(node), previous->block(node), stride_);
      } else {
        encode_block(node, links_of(node), rotated, bits.data());
      }
    }
  });
}

template <class Row, class Links, class Copied>
void QuantizedBlocks::update(std::size_t count, Row&& row_of, Links&& links_of, Copied&& copied,
                             const ChunkRunner& run) {
  const std::size_t before = count_;
  count_ = std::min(count, capacity_);
  auto kept = [&](std::uint32_t node) { return node < before && copied(node); };
  zero_rows_.clear();
  learn_rows(row_of, this);
  const Rotated rotated = rotate_rows(row_of, links_of, kept, run);
  run(count_, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint8_t> bits(fast::edge_bits_bytes(code_dims_));
    for (std::size_t index = begin; index < end; ++index) {
      const auto node = static_cast<std::uint32_t>(index);
      if (!kept(node)) encode_block(node, links_of(node), rotated, bits.data());
    }
  });
}

template <class Row>
void QuantizedBlocks::learn_rows(Row&& row_of, const QuantizedBlocks* previous) {
  auto zero = [](const float* r, std::size_t dim) {
    return std::all_of(r, r + dim, [](float v) { return v == 0.0f; });
  };
  if (previous != nullptr) {
    // Its codes stay valid only about its mean; a zero row is found by its first value, mostly.
    mean_ = previous->mean_;
    for (std::uint32_t node = 0; node < count_; ++node)
      if (zero(row_of(node), dim_)) zero_rows_.push_back(node);
    return;
  }
  // The mean of the finite rows: a row of a mapped file that was not
  // verified may hold any value, and would spoil every row's codes through it.
  std::vector<double> sum(dim_, 0.0);
  std::size_t finite = 0;
  for (std::uint32_t node = 0; node < count_; ++node) {
    const float* r = row_of(node);
    double total = 0.0;
    for (std::size_t j = 0; j < dim_; ++j) total += 0.0 * static_cast<double>(r[j]);
    if (total != 0.0) continue;  // NaN: a value that is not finite
    if (zero(r, dim_)) zero_rows_.push_back(node);
    for (std::size_t j = 0; j < dim_; ++j) sum[j] += r[j];
    ++finite;
  }
  for (std::size_t j = 0; j < dim_; ++j) mean_[j] = finite == 0 ? 0.0f : static_cast<float>(sum[j] / finite);
}

template <class Row, class Links, class Copied>
QuantizedBlocks::Rotated QuantizedBlocks::rotate_rows(Row&& row_of, Links&& links_of, Copied&& copied,
                                                      const ChunkRunner& run) const {
  // The blocks encoded anew and their lanes: after a small change, few of all.
  Rotated rotated;
  rotated.slot.assign(count_, kNoNode);
  std::vector<std::uint32_t> nodes;
  auto need = [&](std::uint32_t node) {
    if (node >= count_ || rotated.slot[node] != kNoNode) return;
    rotated.slot[node] = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back(node);
  };
  for (std::uint32_t node = 0; node < count_; ++node) {
    if (copied(node)) continue;
    need(node);
    for (const std::uint32_t lane : links_of(node)) need(lane);
  }
  rotated.values.resize(nodes.size() * code_dims_);
  rotated.width = code_dims_;
  run(nodes.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t at = begin; at < end; ++at)
      rotate_query(row_of(nodes[at]), rotated.values.data() + at * code_dims_);
  });
  return rotated;
}

inline void QuantizedBlocks::encode_block(std::uint32_t node, std::span<const std::uint32_t> list,
                                          const Rotated& rotated, std::uint8_t* bits) noexcept {
  std::uint8_t* b = block(node);
  std::memset(b, 0, stride_);
  const std::size_t used = std::min(list.size(), groups_ * kLanes);
  auto* id_out = reinterpret_cast<std::uint32_t*>(b + ids_at_);
  std::fill(id_out, id_out + groups_ * kLanes, kNoNode);
  const float* u = rotated.of(node);
  for (std::size_t at = 0; at < used; ++at) {
    const std::size_t group = at / kLanes;
    const std::size_t lane = at % kLanes;
    auto* add_out = reinterpret_cast<fast::HalfFactor*>(b + factors_at_) + group * 2 * kLanes;
    const fast::EdgeFactors f = fast::encode_edge(u, rotated.of(list[at]), code_dims_, bits);
    fast::pack_edge_lane(bits, code_dims_, lane, b + codes_at_ + group * fast::edge_block_bytes(code_dims_));
    add_out[lane] = fast::half_factor(f.add);
    add_out[kLanes + lane] = fast::half_factor(f.scale);
    id_out[at] = list[at];
  }
}

// Layer-0 lists topped up for the blocks: a block scores 32 lanes for the
// cost of any fewer, and the neighbour selection leaves most lists shorter.
// Each node keeps its list first, then, nearest first (by distance(a, b)),
// neighbours of its neighbours that are neither it nor on its list, up to
// `lanes`: the nearest of those reached through its first neighbours.
// kept_list(node, list), where given, may write a node's whole list (`lanes`
// slots) itself, known from an earlier call, and return true. Returns `lanes` slots per node, kNoNode
// past the end of each list. Throws std::bad_alloc.
template <class Links, class Distance>
std::vector<std::uint32_t> filled_lists(
    std::size_t count, Links&& links_of, Distance&& distance, std::size_t lanes = QuantizedBlocks::kLanes,
    const ChunkRunner& run = run_in_one_chunk,
    const std::function<bool(std::uint32_t, std::uint32_t*)>& kept_list = {}) {
  std::vector<std::uint32_t> lists(count * lanes, kNoNode);
  run(count, [&](std::size_t begin, std::size_t end) {
    std::vector<std::pair<float, std::uint32_t>> found;
    for (std::size_t index = begin; index < end; ++index) {
      const auto node = static_cast<std::uint32_t>(index);
      std::uint32_t* list = lists.data() + std::size_t{node} * lanes;
      if (kept_list && kept_list(node, list)) continue;
      const std::span<const std::uint32_t> own = links_of(node);
      const std::size_t kept = std::min(own.size(), lanes);
      std::copy_n(own.begin(), kept, list);
      auto listed = [&](std::uint32_t other) {
        return other == node || std::find(list, list + kept, other) != list + kept;
      };
      found.clear();
      // Lists run nearest first, so the nearest two-hop nodes mostly lie
      // behind the first neighbours: neighbours are read until there are
      // three candidates a free lane, and the rest are not scored (scoring
      // them all was most of the blocks' build).
      const std::size_t room = lanes - kept;
      for (std::size_t first = 0, enough = 3 * room; first < kept;) {
        for (; first < kept && found.size() < enough; ++first) {
          for (const std::uint32_t second : links_of(list[first])) {
            if (!listed(second)) found.emplace_back(0.0f, second);
          }
        }
        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        found.erase(std::unique(found.begin(), found.end(),
                                [](const auto& a, const auto& b) { return a.second == b.second; }),
                    found.end());
        enough = found.size() + 3 * room;  // copies among them: read on
        if (found.size() >= room) break;
      }
      for (auto& f : found) f.first = distance(node, f.second);
      const std::size_t taken = std::min(room, found.size());
      std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(taken), found.end());
      for (std::size_t i = 0; i < taken; ++i) list[kept + i] = found[i].second;
    }
  });
  return lists;
}

}  // namespace hobrin::ann
