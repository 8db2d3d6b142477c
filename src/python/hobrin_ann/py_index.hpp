#pragma once
// hobrin_ann._core.GraphIndex: the thin layer between hobrin_ann.Index (in
// Python, which checks and converts every argument) and the graph index core.
#include "python/runtime/pyclass.hpp"

namespace hobrin::py {

LazyTypeObject& py_index_type();

}  // namespace hobrin::py
