#pragma once
// A search's (name, value) filter argument to a Filter.
#include <optional>

#include "hobrin/filter/filter.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/metadata.hpp"

namespace hobrin::py {

// Refused when the index has no schema, or when the value has no metadata kind.
PyResult<Filter> make_filter(const std::optional<Schema>& schema,
                             const std::pair<std::string, PyRef>& argument);

}  // namespace hobrin::py
