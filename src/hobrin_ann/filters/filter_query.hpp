#pragma once
// What a filtered search of the scalable index admits: an expression of
// conditions on metadata values and allow-lists of ids, joined by And, Or and
// Not. A condition never holds for a node without metadata, and neither does
// its negation: such a node has no value to compare (see Expression).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/metadata.hpp"

namespace hobrin::ann {

// How a condition compares a node's value with its operand(s). Equal and In
// hold when the value equals one of `values`; NotEqual and NotIn when it
// equals none; the orderings compare with values[0]; Between holds for
// values[0] <= value <= values[1]. Numbers compare with numbers by value,
// text with text by code point.
enum class Op : std::uint8_t { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, In, NotIn, Between };

constexpr bool is_ordering(Op op) noexcept {
  return op == Op::Less || op == Op::LessEqual || op == Op::Greater || op == Op::GreaterEqual ||
         op == Op::Between;
}

// Nesting deeper than this is refused where an expression is built, so that
// evaluating one recurses a bounded number of times.
inline constexpr std::size_t kMaxFilterDepth = 32;

// One node of a filter. Each node holds, is false, or (for a node without
// metadata and a condition on it) is unknown: Not turns true into false and
// back and leaves unknown unknown, And and Or follow the same three-valued
// rules, and a search admits only what holds.
struct Expression {
  enum class Kind : std::uint8_t { Condition, Ids, And, Or, Not } kind = Kind::And;
  std::string attribute;             // Condition: a schema name, byte for byte
  Op op = Op::Equal;                 // Condition
  std::vector<Metadata> values;      // Condition: the operands, never NaN for orderings
  std::vector<std::int64_t> ids;     // Ids: the allow-list
  std::vector<Expression> children;  // And, Or: one or more; Not: one
};

struct FilterQuery {
  Expression expression;
};

// Why a search refuses a filter: conditions need an index with a schema, a
// schema that names their attributes, and an ordering must compare values of
// the kind the attribute holds.
struct FilterRefusal {
  enum class Reason { NoSchema, UnknownAttribute, KindMismatch } reason;
  std::string attribute;  // the first offending condition's attribute
  std::string detail;     // KindMismatch: what was compared with what
};

}  // namespace hobrin::ann
