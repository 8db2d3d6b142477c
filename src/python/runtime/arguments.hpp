#pragma once
// Binding of positional and keyword arguments to a callable's parameters.
#include <cstddef>
#include <span>
#include <string>

#include "python/runtime/error.hpp"

namespace hobrin::py {

struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> parameters;  // every parameter, in order
  std::size_t required;                     // the first this-many are required

  std::string full_name() const;  // "{class}.{function}()"
};

// One slot per parameter: empty (nullptr) or a borrowed reference.
using ArgumentSlots = std::span<PyObject*>;

// Constructors: an argument tuple and an optional keyword dictionary.
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                            PyObject* kwargs, ArgumentSlots slots);

// Methods: the fast-call array, its positional count and the keyword names,
// whose values follow the positional ones in the array.
PyResult<void> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, ArgumentSlots slots);

}  // namespace hobrin::py
