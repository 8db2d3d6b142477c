#pragma once
// One 64-byte aligned block per node for a walk on layer 0 that scores a
// node's neighbours from the node's own block (search/quantized_walk.hpp),
// so that expanding a node reads one block in order instead of a row per
// neighbour at random:
//
//   [row: the node's padded float row] [codes of its 32 neighbours, 4 * dims B]
//   [add[32] floats] [scale[32] floats] [ids[32] u32] [live lanes: u32, padded to 64 B]
//
// Codes are the 1-bit edge codes of fastscan.hpp, centred on the node:
// neighbour o of node u is coded by the signs of P(o - u). Rows are centred
// on their mean before the rotation P, which changes no distance but
// narrows the query's tables (non-negative data such as pixels would
// otherwise put most of the tables' range into one direction). Lanes past a
// node's list are dead: id kNoNode, zero codes and factors, their live bit
// clear, so the walk never reads them.
//
// A prototype beside the index: built from a finished graph's layer-0 lists
// and rows, read-only, not saved, Euclidean only.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "hobrin_ann/graph/graph.hpp"
#include "hobrin_ann/kernels/edge_codes.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/kernels/rotation.hpp"

namespace hobrin::ann {

class QuantizedBlocks {
 public:
  static constexpr std::size_t kLanes = fast::kEdgeLanes;

  // The blocks of `count` nodes of `dim` values: row_of(node) gives a node's
  // row padded with zeros to fast::padded_length<float>(dim) values, links_of(node)
  // its layer-0 list (the first 32 are kept). Throws std::bad_alloc, or
  // std::length_error when dim is beyond what the rotation takes. With
  // `huge_pages`, the blocks are asked to lie on 2 MiB pages where the
  // system offers them (a block spans two 4 KiB pages at 784 dimensions).
  template <class Row, class Links>
  QuantizedBlocks(std::size_t dim, std::size_t count, Row&& row_of, Links&& links_of, std::uint64_t seed,
                  bool huge_pages = true);

  std::size_t dim() const noexcept { return dim_; }
  std::size_t size() const noexcept { return count_; }
  // Values of a row (padded), and of codes (rotated and padded).
  std::size_t row_length() const noexcept { return row_length_; }
  std::size_t code_dims() const noexcept { return code_dims_; }
  std::size_t stride() const noexcept { return stride_; }
  std::size_t bytes() const noexcept { return stride_ * count_; }

  const float* row(std::uint32_t node) const noexcept { return reinterpret_cast<const float*>(block(node)); }
  const std::uint8_t* codes(std::uint32_t node) const noexcept { return block(node) + codes_at_; }
  const float* add(std::uint32_t node) const noexcept {
    return reinterpret_cast<const float*>(block(node) + factors_at_);
  }
  const float* scale(std::uint32_t node) const noexcept { return add(node) + kLanes; }
  const std::uint32_t* ids(std::uint32_t node) const noexcept {
    return reinterpret_cast<const std::uint32_t*>(block(node) + ids_at_);
  }
  std::uint32_t live(std::uint32_t node) const noexcept {
    std::uint32_t mask;
    std::memcpy(&mask, block(node) + live_at_, sizeof mask);
    return mask;
  }

  // Starts loading a whole block: one expansion reads all of it, and the
  // hardware's own prefetcher stops at page boundaries.
  void prefetch(std::uint32_t node) const noexcept {
    const std::uint8_t* b = block(node);
    for (std::size_t at = 0; at < stride_; at += 64) __builtin_prefetch(b + at);
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

  std::size_t dim_, count_, row_length_, code_dims_;
  std::size_t codes_at_, factors_at_, ids_at_, live_at_, stride_;
  std::vector<float> mean_;  // dim values
  fast::Rotation rotation_;
  std::unique_ptr<std::uint8_t[], AlignedFree> data_;
};

template <class Row, class Links>
QuantizedBlocks::QuantizedBlocks(std::size_t dim, std::size_t count, Row&& row_of, Links&& links_of,
                                 std::uint64_t seed, bool huge_pages)
    : dim_(dim),
      count_(count),
      row_length_(fast::padded_length<float>(dim)),
      code_dims_(fast::edge_code_dims(dim)),
      codes_at_(row_length_ * sizeof(float)),
      factors_at_(codes_at_ + fast::edge_block_bytes(code_dims_)),
      ids_at_(factors_at_ + 2 * kLanes * sizeof(float)),
      live_at_(ids_at_ + kLanes * sizeof(std::uint32_t)),
      stride_(live_at_ + 64),
      mean_(dim, 0.0f) {
  if (code_dims_ > fast::Rotation::kMaxWidth) throw std::length_error("rows too wide for edge codes");
  rotation_ = fast::Rotation(code_dims_, seed);
  std::vector<double> sum(dim, 0.0);
  for (std::uint32_t node = 0; node < count; ++node) {
    const float* r = row_of(node);
    for (std::size_t j = 0; j < dim; ++j) sum[j] += r[j];
  }
  for (std::size_t j = 0; j < dim; ++j) mean_[j] = count == 0 ? 0.0f : static_cast<float>(sum[j] / count);
  // Every row rotated once, then each edge coded from the two rotated rows.
  std::vector<float> rotated(count * code_dims_);
  for (std::uint32_t node = 0; node < count; ++node)
    rotate_query(row_of(node), rotated.data() + node * code_dims_);
  const std::size_t total = std::max<std::size_t>(count * stride_, 1);
  data_.reset(static_cast<std::uint8_t*>(::operator new[](total, std::align_val_t{kPageAlign})));
#if defined(MADV_HUGEPAGE)
  // Advice only: without huge pages the blocks work the same.
  if (huge_pages) madvise(data_.get(), total, MADV_HUGEPAGE);
#else
  (void)huge_pages;
#endif
  std::memset(data_.get(), 0, total);
  std::vector<std::uint8_t> bits(fast::edge_bits_bytes(code_dims_));
  for (std::uint32_t node = 0; node < count; ++node) {
    std::uint8_t* b = block(node);
    std::memcpy(b, row_of(node), row_length_ * sizeof(float));
    const std::span<const std::uint32_t> list = links_of(node);
    const std::size_t used = std::min(list.size(), kLanes);
    auto* add_out = reinterpret_cast<float*>(b + factors_at_);
    auto* id_out = reinterpret_cast<std::uint32_t*>(b + ids_at_);
    std::fill(id_out, id_out + kLanes, kNoNode);
    const float* u = rotated.data() + std::size_t{node} * code_dims_;
    for (std::size_t lane = 0; lane < used; ++lane) {
      const float* o = rotated.data() + std::size_t{list[lane]} * code_dims_;
      const fast::EdgeFactors f = fast::encode_edge(u, o, code_dims_, bits.data());
      fast::pack_edge_lane(bits.data(), code_dims_, lane, b + codes_at_);
      add_out[lane] = f.add;
      add_out[kLanes + lane] = f.scale;
      id_out[lane] = list[lane];
    }
    const std::uint32_t mask = used == kLanes ? ~0u : (1u << used) - 1u;
    std::memcpy(b + live_at_, &mask, sizeof mask);
  }
}

// Layer-0 lists topped up for the blocks: a block scores 32 lanes for the
// cost of any fewer, and the neighbour selection leaves most lists shorter.
// Each node keeps its list first, then the nearest of its neighbours'
// neighbours (by distance(a, b)) that are neither it nor on its list, up to
// 32. Returns 32 slots per node, kNoNode past the end of each list. Throws
// std::bad_alloc.
template <class Links, class Distance>
std::vector<std::uint32_t> filled_lists(std::size_t count, Links&& links_of, Distance&& distance) {
  constexpr std::size_t lanes = QuantizedBlocks::kLanes;
  std::vector<std::uint32_t> lists(count * lanes, kNoNode);
  std::vector<std::pair<float, std::uint32_t>> found;
  for (std::uint32_t node = 0; node < count; ++node) {
    std::uint32_t* list = lists.data() + std::size_t{node} * lanes;
    const std::span<const std::uint32_t> own = links_of(node);
    const std::size_t kept = std::min(own.size(), lanes);
    std::copy_n(own.begin(), kept, list);
    auto listed = [&](std::uint32_t other) {
      return other == node || std::find(list, list + kept, other) != list + kept;
    };
    found.clear();
    for (std::size_t i = 0; i < kept; ++i) {
      for (const std::uint32_t second : links_of(list[i])) {
        if (!listed(second)) found.emplace_back(0.0f, second);
      }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    found.erase(std::unique(found.begin(), found.end(),
                            [](const auto& a, const auto& b) { return a.second == b.second; }),
                found.end());
    for (auto& f : found) f.first = distance(node, f.second);
    const std::size_t room = std::min(lanes - kept, found.size());
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(room), found.end());
    for (std::size_t i = 0; i < room; ++i) list[kept + i] = found[i].second;
  }
  return lists;
}

}  // namespace hobrin::ann
