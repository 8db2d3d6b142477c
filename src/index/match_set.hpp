#pragma once
// The nodes a filter admits, as a bitmap over node ids, with their count so
// that a search can choose its strategy before it starts.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metadata/filter.hpp"
#include "metadata/metadata.hpp"

namespace hobrin::ann {

class MatchSet {
 public:
  // The nodes below `nodes` whose value at `position` of a row of
  // `row_length` passes the filter; nodes without a row never do.
  static MatchSet of(const MetadataStore& store, std::size_t row_length, std::size_t position, const Filter& filter,
                     std::size_t nodes) {
    MatchSet set;
    set.words_.assign((nodes + 63) / 64, 0);
    const auto& passes = *filter.predicate;
    for (std::size_t node = 0; node < nodes; ++node) {
      const auto row = store.row(node, row_length);
      if (!row || !passes((*row)[position])) continue;
      set.words_[node / 64] |= std::uint64_t{1} << (node % 64);
      ++set.count_;
    }
    return set;
  }

  bool contains(std::uint32_t node) const noexcept { return (words_[node / 64] >> (node % 64)) & 1; }
  std::size_t count() const noexcept { return count_; }

  // Calls visit(node) for each member in ascending order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        visit(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
      }
    }
  }

  // Whether scoring every member costs less than a graph search that admits
  // only members. That search reaches about nodes / count nodes for each one
  // it admits and scores up to 2m links at each: so the scan wins while
  // count^2 < ef * 2m * nodes.
  bool prefers_scan(std::size_t ef, std::size_t m, std::size_t nodes) const noexcept {
    const double c = static_cast<double>(count_);
    return c * c <= static_cast<double>(ef) * 2.0 * static_cast<double>(m) * static_cast<double>(nodes);
  }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

}  // namespace hobrin::ann
