#include "python/runtime/arguments.hpp"

#include <cstring>
#include <string_view>

namespace hobrin::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string parameter_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (i + 1 == names.size())
        out += names.size() > 2 ? ", and " : " and ";
      else
        out += ", ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

PyErr too_many_positional(const FunctionDescription& d, std::size_t given) {
  const std::size_t n = d.parameters.size();
  std::string message = d.full_name() + " takes ";
  if (d.required != n) message += "from " + std::to_string(d.required) + " to ";
  message += std::to_string(n) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  return PyErr::type_error(std::move(message));
}

PyErr unexpected_keyword(const FunctionDescription& d, PyObject* name) {
  return PyErr::type_error(d.full_name() + " got an unexpected keyword argument '" + display_text(name) +
                           "'");
}

// Copies the positional values into the first slots.
PyResult<void> bind_positional(const FunctionDescription& d, PyObject* const* values, std::size_t given,
                               ArgumentSlots slots) {
  if (given > d.parameters.size()) return fail(too_many_positional(d, given));
  for (std::size_t i = 0; i < given; ++i) slots[i] = values[i];
  return {};
}

PyResult<void> bind_keyword(const FunctionDescription& d, PyObject* name, PyObject* value,
                            ArgumentSlots slots) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return fail(unexpected_keyword(d, name));
  }
  const std::string_view wanted(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < d.parameters.size(); ++i) {
    if (wanted != d.parameters[i]) continue;
    if (slots[i] != nullptr) {
      return fail(PyErr::type_error(d.full_name() + " got multiple values for argument '" +
                                    std::string(d.parameters[i]) + "'"));
    }
    slots[i] = value;
    return {};
  }
  return fail(unexpected_keyword(d, name));
}

PyResult<void> check_required(const FunctionDescription& d, std::size_t given, ArgumentSlots slots) {
  if (given >= d.required) return {};
  const char* missing[16];
  std::size_t count = 0;
  for (std::size_t i = 0; i < d.required; ++i) {
    if (slots[i] == nullptr && count < std::size(missing)) missing[count++] = d.parameters[i];
  }
  if (count == 0) return {};
  return fail(PyErr::type_error(d.full_name() + " missing " + std::to_string(count) +
                                " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                                parameter_list(std::span(missing, count))));
}

}  // namespace

std::string FunctionDescription::full_name() const {
  return std::string(class_name) + "." + function_name + "()";
}

PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                            ArgumentSlots slots) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (auto bound = bind_positional(d, &PyTuple_GET_ITEM(args, 0), given, slots); !bound) return bound;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (auto bound = bind_keyword(d, name, value, slots); !bound) return bound;
    }
  }
  return check_required(d, given, slots);
}

PyResult<void> extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, ArgumentSlots slots) {
  const auto given = static_cast<std::size_t>(nargs);
  if (auto bound = bind_positional(d, args, given, slots); !bound) return bound;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (auto bound = bind_keyword(d, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots); !bound)
        return bound;
    }
  }
  return check_required(d, given, slots);
}

}  // namespace hobrin::py
