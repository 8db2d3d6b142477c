#include "hobrin_ann/filters/condition_match.hpp"

#include <string>
#include <variant>

namespace hobrin::ann {
namespace {

// Nodes past `nodes` (of an addition not yet visible) are skipped: a range's
// run is ascending per value only.
void mark_list(std::span<const std::uint32_t> list, std::size_t nodes, Bits& bits) noexcept {
  for (const std::uint32_t node : list) {
    if (node < nodes) set_bit(bits, node);
  }
}

// The nodes whose value (or one of whose values) satisfies the condition in
// its positive form: for NotEqual and NotIn, those equal to an operand.
void mark_positive(const Expression& c, std::size_t position, const ValueIndex& values, std::size_t nodes,
                   Bits& bits) {
  const auto visit = [&](std::span<const std::uint32_t> list) { mark_list(list, nodes, bits); };
  if (!is_ordering(c.op)) {
    for (const Metadata& value : c.values) visit(values.nodes_with(position, value));
    return;
  }
  const bool text = std::holds_alternative<std::string>(c.values.front().value);
  const Metadata* first = &c.values.front();
  switch (c.op) {
    case Op::Less: return values.for_each_in_range(position, text, {}, {first, false}, visit);
    case Op::LessEqual: return values.for_each_in_range(position, text, {}, {first, true}, visit);
    case Op::Greater: return values.for_each_in_range(position, text, {first, false}, {}, visit);
    case Op::GreaterEqual: return values.for_each_in_range(position, text, {first, true}, {}, visit);
    default: return values.for_each_in_range(position, text, {first, true}, {&c.values.back(), true}, visit);
  }
}

}  // namespace

void keep_rows(const ValueIndex& values, std::size_t nodes, Bits& bits) {
  const auto rows = values.with_row();
  for (std::size_t w = 0; w < bits.size(); ++w) bits[w] &= w < rows.size() ? rows[w] : 0;
  if (nodes % 64 != 0 && !bits.empty()) bits.back() &= (std::uint64_t{1} << (nodes % 64)) - 1;
}

void mark_condition(const Expression& condition, std::size_t position, const ValueIndex& values,
                    std::size_t nodes, bool negated, Bits& bits) {
  const bool inverse = condition.op == Op::NotEqual || condition.op == Op::NotIn;
  if (condition.values.empty() && is_ordering(condition.op)) return;  // never built so
  Bits positive(bits.size(), 0);
  mark_positive(condition, position, values, nodes, positive);
  if (inverse == negated) {
    for (std::size_t w = 0; w < bits.size(); ++w) bits[w] |= positive[w];
    return;
  }
  // Nodes with a row whose value does not satisfy the positive form.
  for (std::size_t w = 0; w < positive.size(); ++w) positive[w] = ~positive[w];
  keep_rows(values, nodes, positive);
  for (std::size_t w = 0; w < bits.size(); ++w) bits[w] |= positive[w];
}

namespace {

std::optional<FilterRefusal> refusal_in(const Expression& e, const Schema& schema, const ValueIndex& values) {
  if (e.kind != Expression::Kind::Condition) {
    for (const Expression& child : e.children) {
      if (auto refused = refusal_in(child, schema, values)) return refused;
    }
    return std::nullopt;
  }
  const auto position = schema_position(schema, e.attribute);
  if (!position) return FilterRefusal{FilterRefusal::Reason::UnknownAttribute, e.attribute, {}};
  if (!is_ordering(e.op) || e.values.empty()) return std::nullopt;
  const bool text = std::holds_alternative<std::string>(e.values.front().value);
  if (text && values.holds_numbers(*position))
    return FilterRefusal{FilterRefusal::Reason::KindMismatch, e.attribute, "text against stored numbers"};
  if (!text && values.holds_text(*position))
    return FilterRefusal{FilterRefusal::Reason::KindMismatch, e.attribute, "a number against stored text"};
  return std::nullopt;
}

bool has_condition(const Expression& e) noexcept {
  if (e.kind == Expression::Kind::Condition) return true;
  for (const Expression& child : e.children) {
    if (has_condition(child)) return true;
  }
  return false;
}

}  // namespace

std::optional<FilterRefusal> refusal_of(const FilterQuery& query, const std::optional<Schema>& schema,
                                        const ValueIndex& values) {
  if (!has_condition(query.expression)) return std::nullopt;
  if (!schema) return FilterRefusal{FilterRefusal::Reason::NoSchema, {}, {}};
  return refusal_in(query.expression, *schema, values);
}

}  // namespace hobrin::ann
