#pragma once
// For each attribute of a schema and each value it takes, the nodes that hold
// that value, in node order, with the values sorted (numbers by value, then
// text by code point) so that a range is a run of lists; and which nodes have
// metadata at all. Filters become unions and intersections of these lists,
// so the number of matches is known before a search starts.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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
  explicit ValueIndex(std::size_t attributes = 0) : by_attribute_(attributes), flat_(attributes) {}

  // Records the node's row (one value per attribute). Throws std::bad_alloc;
  // then call truncate() to undo the partial record.
  void append(std::uint32_t node, std::span<const Metadata> row);
  // Records the row of a node that may lie anywhere in node order (a reused
  // slot), skipping values it is already listed under. Throws std::bad_alloc;
  // then call erase() with the same row to undo the partial record.
  void insert(std::uint32_t node, std::span<const Metadata> row);
  // Forgets the node under each value of `row` that `kept` (if given) does
  // not hold for the same attribute.
  void erase(std::uint32_t node, std::span<const Metadata> row, std::span<const Metadata> kept = {}) noexcept;
  // Forgets every node from `nodes` on (they were appended last).
  void truncate(std::size_t nodes) noexcept;

  // The nodes whose value of `attribute` equals `value` by value (NaN equal
  // to nothing), ascending.
  std::span<const std::uint32_t> nodes_with(std::size_t attribute, const Metadata& value) const noexcept;

  // Calls visit(nodes) with the nodes holding a value of `attribute` of the
  // kind of the given ends (numbers or text) between them: one run, value
  // after value, each value's nodes ascending (a node with several such
  // values appears once per value). Reads a sorted copy of the lists, laid
  // out flat so that a wide range reads memory in order; the first range
  // after a change rebuilds it.
  void for_each_in_range(std::size_t attribute, bool text, RangeEnd low, RangeEnd high,
                         const std::function<void(std::span<const std::uint32_t>)>& visit) const;

  // Whether some node holds a value of `attribute` of that kind.
  bool holds_text(std::size_t attribute) const noexcept;
  bool holds_numbers(std::size_t attribute) const noexcept;

  // One bit per node, set for the nodes appended with a row; may stop short
  // of the last nodes (their bits are clear).
  std::span<const std::uint64_t> with_row() const noexcept { return with_row_; }

 private:
  using Lists = std::map<Metadata, std::vector<std::uint32_t>, ValueOrder>;
  static inline const Metadata kFirstText{std::string()};  // the least text, above every number

  // One attribute's lists, sorted by value, back to back.
  struct Flat {
    std::vector<Metadata> values;     // ascending
    std::vector<std::size_t> starts;  // per value and one past the last: where its nodes start
    std::vector<std::uint32_t> nodes;
    std::uint64_t version = 0;        // of the lists it copies; 0: never built
  };

  void add(Lists& lists, std::uint32_t node, const Metadata& value);
  const Flat& flat(std::size_t attribute) const;

  std::vector<Lists> by_attribute_;
  std::vector<std::uint64_t> with_row_;
  std::uint64_t version_ = 1;  // changes with every append and truncate
  // Searches share the index, so the first that needs a stale copy rebuilds
  // it under this lock; changes to the lists hold the index exclusively.
  mutable std::mutex flat_mutex_;
  mutable std::vector<Flat> flat_;
};

}  // namespace hobrin
