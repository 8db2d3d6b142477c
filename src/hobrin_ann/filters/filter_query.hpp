#pragma once
// What a filtered search of the scalable index admits: the nodes that pass
// every condition (their value of the attribute is one of the listed values)
// and, when an allow-list is given, whose id is on it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/metadata.hpp"

namespace hobrin::ann {

struct Condition {
  std::string attribute;        // a schema name, byte for byte
  std::vector<Metadata> any_of;  // the values that pass
};

struct FilterQuery {
  std::vector<Condition> all_of;
  std::optional<std::vector<std::int64_t>> ids;  // the allow-list, if any
};

// Why a search refuses a filter: conditions need an index with a schema,
// and a schema that names their attributes.
struct FilterRefusal {
  enum class Reason { NoSchema, UnknownAttribute } reason;
  std::string attribute;  // UnknownAttribute: the first condition's attribute not in the schema
};

// Why an index of `schema` refuses `query`, if it does.
inline std::optional<FilterRefusal> refusal_of(const FilterQuery& query,
                                               const std::optional<Schema>& schema) {
  if (query.all_of.empty()) return std::nullopt;
  if (!schema) return FilterRefusal{FilterRefusal::Reason::NoSchema, {}};
  for (const Condition& condition : query.all_of) {
    if (!schema_position(*schema, condition.attribute))
      return FilterRefusal{FilterRefusal::Reason::UnknownAttribute, condition.attribute};
  }
  return std::nullopt;
}

}  // namespace hobrin::ann
