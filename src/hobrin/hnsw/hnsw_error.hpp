#pragma once
// The graph index's error values, carried to the Python boundary by name.
#include <string_view>

namespace hobrin {

enum class HNSWError {
  InvalidEF,          // a layer search was asked for a result list of size 0
  InvalidLayer,       // a layer search was asked for a layer the index lacks
  NoSchema,           // a filter on an index without a schema
  EmptySchema,        // a filter on an index whose schema is empty
  AttributeNotFound,  // a filter attribute outside the schema; or, in bulk
                      // creation, a row count that differs from the vector count
  EmptyVectors,       // bulk creation of nothing
  InvalidNodeID,      // a linking search returned a node the store lacks
};

// The variant's name exactly as declared, e.g. "InvalidEF".
std::string_view to_string(HNSWError error) noexcept;

}  // namespace hobrin
