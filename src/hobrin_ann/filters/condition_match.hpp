#pragma once
// The nodes that pass one condition, as bits over node ids, and whether an
// index of a schema and values can answer an expression at all.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/metadata.hpp"
#include "hobrin_ann/filters/filter_query.hpp"
#include "hobrin_ann/filters/value_index.hpp"

namespace hobrin::ann {

using Bits = std::vector<std::uint64_t>;  // one bit per node, (nodes + 63) / 64 words

inline void set_bit(Bits& bits, std::uint32_t node) noexcept {
  bits[node / 64] |= std::uint64_t{1} << (node % 64);
}

// Sets in `bits` (sized for `nodes`) the nodes below `nodes` for which the
// condition on the attribute at `position` holds; with `negated`, those with
// a row for which it does not hold.
void mark_condition(const Expression& condition, std::size_t position, const ValueIndex& values,
                    std::size_t nodes, bool negated, Bits& bits);

// Sets the nodes below `nodes` that have a row, or, with `negated`, clears
// those that have none.
void keep_rows(const ValueIndex& values, std::size_t nodes, Bits& bits);

// Why an index of `schema` holding `values` refuses `query`, if it does: a
// condition without a schema, on an attribute outside it, or an ordering of
// text against an attribute holding numbers (or the reverse).
std::optional<FilterRefusal> refusal_of(const FilterQuery& query, const std::optional<Schema>& schema,
                                        const ValueIndex& values);

}  // namespace hobrin::ann
