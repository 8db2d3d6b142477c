#pragma once
#include "python/runtime/pyclass.hpp"

namespace hobrin::py {

// The PyFlat class: exact search over a Flat.
LazyTypeObject& py_flat_type();

}  // namespace hobrin::py
