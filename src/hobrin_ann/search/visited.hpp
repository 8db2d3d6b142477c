#pragma once
// Marks of the nodes a search has reached: a tag per node, equal to the
// current epoch when marked. Starting a search bumps the epoch instead of
// clearing the array; it is cleared only when the 16-bit epoch wraps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hobrin::ann {

class VisitedMarks {
 public:
  // Room for `nodes` nodes; throws std::bad_alloc.
  void prepare(std::size_t nodes) {
    if (tags_.size() < nodes) tags_.resize(nodes, 0);
  }
  std::size_t capacity() const noexcept { return tags_.size(); }

  void start() noexcept {
    if (++epoch_ == 0) {
      std::fill(tags_.begin(), tags_.end(), std::uint16_t{0});
      epoch_ = 1;
    }
  }
  // Marks the node; true when it was already marked in this search.
  bool test_and_mark(std::uint32_t node) noexcept {
    const bool seen = tags_[node] == epoch_;
    tags_[node] = epoch_;
    return seen;
  }
  bool marked(std::uint32_t node) const noexcept { return tags_[node] == epoch_; }
  void prefetch(std::uint32_t node) const noexcept { __builtin_prefetch(tags_.data() + node); }

 private:
  std::vector<std::uint16_t> tags_;
  std::uint16_t epoch_ = 0;
};

}  // namespace hobrin::ann
