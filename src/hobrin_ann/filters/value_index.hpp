#pragma once
// For each attribute of a schema and each value it takes, the nodes that hold
// that value, in node order. Filters become unions and intersections of these
// lists, so the number of matches is known before a search starts.
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/metadata.hpp"

namespace hobrin {

struct MetadataHash {
  std::size_t operator()(const Metadata& value) const noexcept;
};

class ValueIndex {
 public:
  explicit ValueIndex(std::size_t attributes = 0) : by_attribute_(attributes) {}

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

  // The nodes whose value of `attribute` equals `value` (Metadata equality:
  // same kind, NaN equal to nothing), ascending.
  std::span<const std::uint32_t> nodes_with(std::size_t attribute, const Metadata& value) const noexcept;

 private:
  using Lists = std::unordered_map<Metadata, std::vector<std::uint32_t>, MetadataHash>;
  std::vector<Lists> by_attribute_;
};

}  // namespace hobrin
