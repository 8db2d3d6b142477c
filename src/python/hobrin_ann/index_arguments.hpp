#pragma once
// hobrin_ann's metadata rows and filters, converted from the Python objects
// that hobrin_ann.Index passes to its native part.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/metadata.hpp"
#include "hobrin_ann/filters/filter_query.hpp"
#include "hobrin_ann/index/graph_index.hpp"
#include "python/runtime/error.hpp"

namespace hobrin::py {

// ValueError "{name}: expected {expected}, got {given}".
PyErr shape_error(const char* name, std::size_t expected, std::size_t given);

// One row per vector from a list of `count` lists of (name, value) pairs, or
// none for None. Every row names each schema attribute exactly once and no
// other; a ValueError names the first row and attribute that does not.
PyResult<std::vector<MetadataRow>> metadata_rows(const ann::GraphIndex& index, PyObject* object,
                                                 std::size_t count);

// The filter as hobrin_ann.Index passes it: None or one expression node,
// ("cond", name, op, [values]), ("ids", int64 array), ("and", [nodes]),
// ("or", [nodes]) or ("not", node), nested at most kMaxFilterDepth deep.
PyResult<std::optional<ann::FilterQuery>> filter_argument(PyObject* object);

// The exception of a filter that a search refused.
PyErr filter_refused(const ann::FilterRefusal& refusal);

}  // namespace hobrin::py
