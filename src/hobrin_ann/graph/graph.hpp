#pragma once
// The link structure of the layered graph, apart from the vectors: each
// node's level, its layer-0 links in 2m fixed slots, and its upper-layer
// links (m slots a layer) in side storage. A list fills its slots from the
// front and every unused slot holds kNoNode, so with m = 16 a layer-0 list
// is exactly two aligned cache lines and its length is a branch-free count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

namespace hobrin::ann {

inline constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();
// The highest level a node may have: levels above it would need more nodes
// than a 32-bit node id can name. Index files hold no higher level either.
inline constexpr int kMaxLevel = 30;

// Allocates on 64-byte boundaries, so that fixed-size lists share no line.
template <class T>
struct LineAlignedAllocator {
  using value_type = T;
  LineAlignedAllocator() = default;
  template <class U>
  LineAlignedAllocator(const LineAlignedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{64}); }
  friend bool operator==(const LineAlignedAllocator&, const LineAlignedAllocator&) noexcept { return true; }
};

class LinkGraph {
 public:
  explicit LinkGraph(std::size_t m) : m_(m) {}

  std::size_t m() const noexcept { return m_; }
  // Most links a node keeps on `level`: 2m on layer 0, m above.
  std::size_t max_links(int level) const noexcept { return level == 0 ? 2 * m_ : m_; }
  std::size_t size() const noexcept { return levels_.size(); }
  int level(std::uint32_t node) const noexcept { return levels_[node]; }

  // Every slot of the node's list on `level` (at most its own level).
  std::span<std::uint32_t> slots(std::uint32_t node, int level) noexcept {
    if (level == 0) return {layer0_base_ + std::size_t{node} * 2 * m_, 2 * m_};
    return {upper_.data() + upper_start_[node] + std::size_t(level - 1) * m_, m_};
  }
  // The node's links on `level`: the slots that do not hold kNoNode.
  std::span<const std::uint32_t> links(std::uint32_t node, int level) const noexcept {
    const auto all = const_cast<LinkGraph*>(this)->slots(node, level);
    std::size_t count = 0;
    if (level == 0 && layer0_viewed_) [[unlikely]] {
      // Viewed lists lie in a mapped file, which may change after it was
      // checked: a list ends at its first slot that names no node.
      const std::size_t nodes = levels_.size();
      while (count < all.size() && all[count] < nodes) ++count;
      return all.first(count);
    }
    for (const std::uint32_t slot : all) count += slot != kNoNode;
    return all.first(count);
  }
  // Replaces the node's links on `level` with `node_of(item)` for each item.
  template <class Items, class NodeOf>
  void set_links(std::uint32_t node, int level, const Items& items, NodeOf&& node_of) noexcept {
    const auto all = slots(node, level);
    std::size_t i = 0;
    for (const auto& item : items) all[i++] = node_of(item);
    for (; i < all.size(); ++i) all[i] = kNoNode;
  }

  // Empties every list of the node (its slot is freed).
  void clear_links(std::uint32_t node) noexcept {
    for (int layer = 0; layer <= level(node); ++layer) {
      const auto all = slots(node, layer);
      std::fill(all.begin(), all.end(), kNoNode);
    }
  }

  // Starts loading the node's list on `level` into the cache.
  void prefetch_links(std::uint32_t node, int level) const noexcept {
    const auto all = const_cast<LinkGraph*>(this)->slots(node, level);
    const char* first = reinterpret_cast<const char*>(all.data());
    for (std::size_t at = 0; at < all.size_bytes(); at += 64) __builtin_prefetch(first + at);
  }

  // Room for `nodes` nodes with `upper_lists` upper-layer lists among them;
  // throws std::bad_alloc or std::length_error and keeps the contents.
  // `exact`: no room beyond (see reserve_for).
  void reserve(std::size_t nodes, std::size_t upper_lists, bool exact = false);
  // Appends a node with no links, within the reserved room.
  void append(int level) noexcept;
  // Forgets the nodes from `nodes` on.
  void truncate(std::size_t nodes) noexcept;

  // Makes the layer-0 lists those at `lists` (2m slots per node, for every
  // node appended from now on), which lie elsewhere (a mapped file) and must
  // outlive the graph. Call on an empty graph; the graph is then read-only.
  void view_layer0(const std::uint32_t* lists) noexcept {
    layer0_.clear();
    layer0_.shrink_to_fit();
    layer0_base_ = const_cast<std::uint32_t*>(lists);
    layer0_viewed_ = true;
  }

  // Upper-layer lists stored, over all nodes.
  std::size_t upper_lists() const noexcept { return upper_.size() / m_; }
  std::size_t bytes() const noexcept;

 private:
  std::size_t m_;
  std::vector<std::uint8_t> levels_;                                            // per node: its top layer
  std::vector<std::uint32_t, LineAlignedAllocator<std::uint32_t>> layer0_;      // per node: 2m slots
  std::vector<std::uint32_t> upper_start_;  // per node: where its layer-1 list starts in upper_
  std::vector<std::uint32_t> upper_;        // m slots per layer above 0, node by node
  std::uint32_t* layer0_base_ = nullptr;    // layer0_'s slots, or the viewed ones
  bool layer0_viewed_ = false;
};

}  // namespace hobrin::ann
