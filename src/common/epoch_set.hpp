#pragma once
// A set of node ids as an array of epoch tags: an id is in the set when its
// tag equals the current epoch. Starting a new set bumps the epoch instead
// of clearing memory; the array is cleared only when the epoch wraps. Both
// products' graph searches keep their visited nodes in one. A narrow tag
// costs less memory and cache, a wide one wraps less often.
#include <algorithm>
#include <cstddef>
#include <vector>

namespace hobrin {

template <class Tag>
class EpochSet {
 public:
  // Room for the ids below `node_count`; the set is unchanged. Throws std::bad_alloc.
  void reserve(std::size_t node_count) {
    if (tags_.size() < node_count) tags_.resize(node_count, Tag{0});
  }
  std::size_t capacity() const noexcept { return tags_.size(); }

  // Empties the set, keeping its room.
  void start() noexcept {
    ++epoch_;
    if (epoch_ == Tag{0}) {
      std::fill(tags_.begin(), tags_.end(), Tag{0});
      epoch_ = Tag{1};
    }
  }
  // Starts an empty set over the ids below `node_count`. Unchanged when it throws.
  void reset(std::size_t node_count) {
    reserve(node_count);
    start();
  }

  // Adds `id`; false when it was already in the set.
  bool insert(std::size_t id) noexcept {
    Tag& tag = tags_[id];
    if (tag == epoch_) return false;
    tag = epoch_;
    return true;
  }
  bool contains(std::size_t id) const noexcept { return tags_[id] == epoch_; }
  void prefetch(std::size_t id) const noexcept { __builtin_prefetch(tags_.data() + id); }

  // The set seen through plain pointers, for a loop that should keep them in
  // registers; valid until the next reserve or start.
  class Marker {
   public:
    Marker(Tag* tags, Tag epoch) noexcept : tags_(tags), epoch_(epoch) {}
    bool insert(std::size_t id) const noexcept {
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

}  // namespace hobrin
