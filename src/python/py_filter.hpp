#pragma once
// A search's (name, value) filter argument to a Filter.
#include <optional>

#include "metadata/filter.hpp"
#include "python/py_metadata.hpp"
#include "python/runtime/error.hpp"

namespace hobrin::py {

// Refused when the index has no schema, or when the value has no metadata kind.
PyResult<Filter> make_filter(const std::optional<Schema>& schema,
                             const std::pair<std::string, PyRef>& argument);

}  // namespace hobrin::py
