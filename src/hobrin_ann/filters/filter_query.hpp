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

}  // namespace hobrin::ann
