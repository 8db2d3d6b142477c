#pragma once
// The set of nodes a layer search has admitted, as an array of epoch tags
// indexed by node id: starting a new set bumps the epoch instead of clearing
// memory, and the array is cleared only when the epoch counter wraps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hobrin/distance/candidate.hpp"

namespace hobrin {

template <class Tag>
class BasicVisitedSet {
 public:
  // Starts an empty set over the ids below `node_count`. Unchanged when it throws.
  void reset(std::size_t node_count) {
    if (tags_.size() < node_count) tags_.resize(node_count, Tag{0});
    ++epoch_;
    if (epoch_ == Tag{0}) {
      std::fill(tags_.begin(), tags_.end(), Tag{0});
      epoch_ = Tag{1};
    }
  }

  // Adds `id`; false when it was already in the set.
  bool insert(NodeId id) noexcept {
    Tag& tag = tags_[id];
    if (tag == epoch_) return false;
    tag = epoch_;
    return true;
  }

  bool contains(NodeId id) const noexcept { return tags_[id] == epoch_; }

  // The set seen through plain pointers, for a loop that should keep them in
  // registers; valid until the next reset.
  class Marker {
   public:
    Marker(Tag* tags, Tag epoch) noexcept : tags_(tags), epoch_(epoch) {}
    bool insert(NodeId id) const noexcept {
      Tag& tag = tags_[id];
      if (tag == epoch_) return false;
      tag = epoch_;
      return true;
    }
    const Tag* tags() const noexcept { return tags_; }
    Tag epoch() const noexcept { return epoch_; }

   private:
    Tag* tags_;
    Tag epoch_;
  };
  Marker marker() noexcept { return Marker(tags_.data(), epoch_); }

 private:
  std::vector<Tag> tags_;  // per node: the epoch in which it was last added
  Tag epoch_{0};           // the current set's tag; 0 never marks a member
};

// 32-bit tags, as the SIMD neighbour scan gathers them.
using VisitedSet = BasicVisitedSet<std::uint32_t>;

}  // namespace hobrin
