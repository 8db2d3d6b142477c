#pragma once
// For each attribute of a schema and each value it takes, the nodes that hold
// that value, in node order, with the values sorted (numbers by value, then
// text by code point) so that a range is a run of lists; and which nodes have
// metadata at all. Filters become unions and intersections of these lists,
// so the number of matches is known before a search starts.
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "common/metadata.hpp"

namespace hobrin {

// Compares two values that are not NaN: numbers by value (the integer 1
// equals the float 1.0, 2**53 + 1 exceeds the float 2**53), every number
// before every text, text by code point (UTF-8 bytes compare in that order).
// Negative, zero or positive.
int compare_values(const Metadata& a, const Metadata& b) noexcept;

struct ValueOrder {
  bool operator()(const Metadata& a, const Metadata& b) const noexcept { return compare_values(a, b) < 0; }
};

// One end of a range of values: the value, and whether it is itself inside.
struct RangeEnd {
  const Metadata* value = nullptr;  // none: the range is open on that side (within the kind)
  bool inclusive = true;
};

class ValueIndex {
 public:
  explicit ValueIndex(std::size_t attributes = 0) : by_attribute_(attributes) {}

  // Records the node's row (one value per attribute). Throws std::bad_alloc;
  // then call truncate() to undo the partial record.
  void append(std::uint32_t node, std::span<const Metadata> row);
  // Forgets every node from `nodes` on (they were appended last).
  void truncate(std::size_t nodes) noexcept;

  // The nodes whose value of `attribute` equals `value` by value (NaN equal
  // to nothing), ascending.
  std::span<const std::uint32_t> nodes_with(std::size_t attribute, const Metadata& value) const noexcept;

  // Calls visit(list) for the list of every value of `attribute` of the
  // kind of the given ends (numbers or text) between them.
  template <class Visit>
  void for_each_in_range(std::size_t attribute, bool text, RangeEnd low, RangeEnd high, Visit&& visit) const {
    if (attribute >= by_attribute_.size()) return;
    const Lists& lists = by_attribute_[attribute];
    auto first = low.value ? (low.inclusive ? lists.lower_bound(*low.value) : lists.upper_bound(*low.value))
                 : text    ? lists.lower_bound(kFirstText)
                           : lists.begin();
    auto last = high.value
                    ? (high.inclusive ? lists.upper_bound(*high.value) : lists.lower_bound(*high.value))
                : text ? lists.end()
                       : lists.lower_bound(kFirstText);
    if (first == lists.end() || (last != lists.end() && ValueOrder{}(last->first, first->first))) return;
    for (; first != last; ++first) visit(std::span<const std::uint32_t>(first->second));
  }

  // Whether some node holds a value of `attribute` of that kind.
  bool holds_text(std::size_t attribute) const noexcept;
  bool holds_numbers(std::size_t attribute) const noexcept;

  // One bit per node, set for the nodes appended with a row; may stop short
  // of the last nodes (their bits are clear).
  std::span<const std::uint64_t> with_row() const noexcept { return with_row_; }

 private:
  using Lists = std::map<Metadata, std::vector<std::uint32_t>, ValueOrder>;
  static inline const Metadata kFirstText{std::string()};  // the least text, above every number

  void add(Lists& lists, std::uint32_t node, const Metadata& value);

  std::vector<Lists> by_attribute_;
  std::vector<std::uint64_t> with_row_;
};

}  // namespace hobrin
