#pragma once
// The link structure of the layered graph, apart from the vectors: each
// node's level, its layer-0 links in fixed slots, and its upper-layer links in
// side storage. A link list is a count followed by that many node ids.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hobrin::ann {

class LinkGraph {
 public:
  explicit LinkGraph(std::size_t m) : m_(m), layer0_width_(1 + 2 * m), upper_width_(1 + m) {}

  std::size_t m() const noexcept { return m_; }
  // Most links a node keeps on `level`: 2m on layer 0, m above.
  std::size_t max_links(int level) const noexcept { return level == 0 ? 2 * m_ : m_; }
  std::size_t size() const noexcept { return levels_.size(); }
  int level(std::uint32_t node) const noexcept { return levels_[node]; }

  // The node's list on `level` (which must be at most its own level).
  std::uint32_t* links(std::uint32_t node, int level) noexcept {
    if (level == 0) return layer0_.data() + std::size_t{node} * layer0_width_;
    return upper_.data() + upper_start_[node] + std::size_t(level - 1) * upper_width_;
  }
  const std::uint32_t* links(std::uint32_t node, int level) const noexcept {
    return const_cast<LinkGraph*>(this)->links(node, level);
  }

  // Starts loading the node's list on `level` into the cache.
  void prefetch_links(std::uint32_t node, int level) const noexcept {
    const char* list = reinterpret_cast<const char*>(links(node, level));
    const std::size_t bytes = (level == 0 ? layer0_width_ : upper_width_) * sizeof(std::uint32_t);
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(list + at);
  }

  // Room for `nodes` nodes with `upper_lists` upper-layer lists among them;
  // throws std::bad_alloc or std::length_error and keeps the contents.
  void reserve(std::size_t nodes, std::size_t upper_lists);
  // Appends a node with no links, within the reserved room.
  void append(int level) noexcept;
  // Forgets the nodes from `nodes` on.
  void truncate(std::size_t nodes) noexcept;

  // Upper-layer lists stored, over all nodes.
  std::size_t upper_lists() const noexcept { return upper_.size() / upper_width_; }
  std::size_t bytes() const noexcept;

 private:
  std::size_t m_;
  std::size_t layer0_width_;                // 1 + 2m values per node
  std::size_t upper_width_;                 // 1 + m values per upper list
  std::vector<std::uint8_t> levels_;        // per node: its top layer
  std::vector<std::uint32_t> layer0_;       // per node: count, then 2m slots
  std::vector<std::uint32_t> upper_start_;  // per node: where its layer-1 list starts in upper_
  std::vector<std::uint32_t> upper_;        // lists of layers 1.. of every node, node by node
};

}  // namespace hobrin::ann
