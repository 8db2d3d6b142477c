#pragma once
// The nodes a filter admits, as a bitmap over node ids, with their count so
// that a search can choose its strategy before it starts.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <vector>

#include "hobrin_ann/core/labels.hpp"
#include "hobrin_ann/filters/filter_query.hpp"
#include "hobrin_ann/filters/value_index.hpp"

namespace hobrin::ann {

class MatchSet {
 public:
  // The nodes below `nodes` that pass `query`, or why an index of `schema`
  // refuses it (refusal_of).
  static std::expected<MatchSet, FilterRefusal> of(const FilterQuery& query,
                                                   const std::optional<Schema>& schema,
                                                   const ValueIndex& values, const LabelMap& labels,
                                                   std::size_t nodes) {
    if (auto refused = refusal_of(query, schema)) return std::unexpected(*std::move(refused));
    MatchSet set;
    set.words_.assign((nodes + 63) / 64, ~std::uint64_t{0});
    if (nodes % 64 != 0) set.words_.back() = (std::uint64_t{1} << (nodes % 64)) - 1;
    std::vector<std::uint64_t> passing;
    for (const Condition& condition : query.all_of) {
      const auto position = schema_position(*schema, condition.attribute);  // found: not refused
      passing.assign(set.words_.size(), 0);
      for (const Metadata& value : condition.any_of) {
        for (const std::uint32_t node : values.nodes_with(*position, value)) {
          if (node < nodes) passing[node / 64] |= std::uint64_t{1} << (node % 64);
        }
      }
      for (std::size_t w = 0; w < passing.size(); ++w) set.words_[w] &= passing[w];
    }
    if (query.ids) {
      passing.assign(set.words_.size(), 0);
      for (const std::int64_t id : *query.ids) {
        if (const auto node = labels.find(id); node && *node < nodes)
          passing[*node / 64] |= std::uint64_t{1} << (*node % 64);
      }
      for (std::size_t w = 0; w < passing.size(); ++w) set.words_[w] &= passing[w];
    }
    for (const std::uint64_t word : set.words_) set.count_ += static_cast<std::size_t>(std::popcount(word));
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
  // it admits and scores up to 2m links at each, each read from a random
  // place; a scan reads members in order, shared by a block of queries,
  // about four times cheaper each: so the scan wins while
  // count^2 < 4 * ef * 2m * nodes.
  bool prefers_scan(std::size_t ef, std::size_t m, std::size_t nodes) const noexcept {
    const double c = static_cast<double>(count_);
    return c * c <= 4.0 * static_cast<double>(ef) * 2.0 * static_cast<double>(m) * static_cast<double>(nodes);
  }

  // Whether members are sparse enough that a walk through non-members would
  // mostly score nodes it cannot admit: then the search reaches members
  // through one intermediate node and scores only them.
  bool prefers_two_hops(std::size_t nodes) const noexcept { return count_ * 5 < nodes; }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

}  // namespace hobrin::ann
