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
#include "hobrin_ann/filters/condition_match.hpp"
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
    if (auto refused = refusal_of(query, schema, values)) return std::unexpected(*std::move(refused));
    const Evaluation evaluation{*schema_or_empty(schema), values, labels, nodes};
    MatchSet set;
    set.words_ = evaluation.bits(query.expression, false);
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
  static const Schema* schema_or_empty(const std::optional<Schema>& schema) {
    static const Schema kNone;
    return schema ? &*schema : &kNone;
  }

  // The nodes for which an expression holds or, negated, is false; with
  // three values (a condition on a node without metadata is neither), Not
  // swaps the two and And and Or swap roles under it (De Morgan), so each
  // node of the expression is evaluated once, in one polarity.
  struct Evaluation {
    const Schema& schema;
    const ValueIndex& values;
    const LabelMap& labels;
    std::size_t nodes;

    Bits bits(const Expression& e, bool negated) const {
      using Kind = Expression::Kind;
      const std::size_t words = (nodes + 63) / 64;
      if (e.kind == Kind::Not) return bits(e.children.front(), !negated);
      if (e.kind == Kind::And || e.kind == Kind::Or) {
        const bool intersect = (e.kind == Kind::And) != negated;
        Bits out = bits(e.children.front(), negated);
        for (std::size_t i = 1; i < e.children.size(); ++i) {
          const Bits more = bits(e.children[i], negated);
          for (std::size_t w = 0; w < words; ++w) out[w] = intersect ? out[w] & more[w] : out[w] | more[w];
        }
        return out;
      }
      Bits out(words, 0);
      if (e.kind == Kind::Condition) {
        mark_condition(e, *schema_position(schema, e.attribute), values, nodes, negated, out);
        return out;
      }
      // The table is far larger than the cache for big indexes: fetch a
      // few lookups ahead.
      constexpr std::size_t kAhead = 16;
      const std::size_t count = e.ids.size();
      for (std::size_t i = 0; i < std::min(kAhead, count); ++i) labels.prefetch(e.ids[i]);
      for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) labels.prefetch(e.ids[i + kAhead]);
        if (const auto node = labels.find(e.ids[i]); node && *node < nodes) set_bit(out, *node);
      }
      if (negated) {  // every node not listed: ids are known for all
        for (std::uint64_t& word : out) word = ~word;
        if (nodes % 64 != 0) out.back() &= (std::uint64_t{1} << (nodes % 64)) - 1;
      }
      return out;
    }
  };

  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

}  // namespace hobrin::ann
