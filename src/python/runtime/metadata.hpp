#pragma once
// Python objects to metadata values, and (name, value) pairs to a row.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/metadata.hpp"
#include "python/runtime/error.hpp"

namespace hobrin::py {

using MetadataPairs = std::vector<std::pair<std::string, PyRef>>;

// Text, then a signed 64-bit integer, then a float: the first that applies.
// Nothing when none does; raises nothing.
std::optional<Metadata> to_metadata(PyObject* object);

// One value per schema attribute, in schema order; a later pair with the same
// name wins and names outside the schema are ignored.
PyResult<MetadataRow> build_metadata_row(const Schema& schema, const MetadataPairs& pairs);

}  // namespace hobrin::py
