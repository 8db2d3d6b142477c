#pragma once
#include "python/runtime/pyclass.hpp"

namespace hobrin::py {

// The PyHNSW class: the graph index with metadata and filters.
LazyTypeObject& py_hnsw_type();

}  // namespace hobrin::py
