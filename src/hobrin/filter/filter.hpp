#pragma once
// A restriction of a search to the nodes whose value for one attribute passes a
// predicate. The only predicate built is equality with one captured value.
#include <functional>
#include <memory>
#include <string>

#include "common/metadata.hpp"

namespace hobrin {

struct Filter {
  std::string attribute;  // matched byte for byte against the schema
  std::shared_ptr<const std::function<bool(const Metadata&)>> predicate;

  // Passes exactly the values equal to `value` under Metadata equality, so it
  // never matches across kinds and a NaN value matches nothing.
  static Filter equal_to(std::string attribute, Metadata value);
};

}  // namespace hobrin
