#pragma once
// Conversion of Python arguments to native values, and of native results back
// to new Python objects.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/vector_list.hpp"
#include "python/runtime/buffer.hpp"
#include "python/runtime/error.hpp"

namespace hobrin::py {

// ---- Python to native -------------------------------------------------------

template <class T>
struct FromPy;

template <>
struct FromPy<std::uint64_t> {
  static PyResult<std::uint64_t> extract(PyObject* object);
};
template <>
struct FromPy<std::int64_t> {
  static PyResult<std::int64_t> extract(PyObject* object);
};
template <>
struct FromPy<double> {
  static PyResult<double> extract(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return fetch_error();
    return value;
  }
};
template <>
struct FromPy<std::string> {
  static PyResult<std::string> extract(PyObject* object);
};
// Any object: a new reference, no conversion.
template <>
struct FromPy<PyRef> {
  static PyResult<PyRef> extract(PyObject* object) { return PyRef::borrow(object); }
};

// The length a sequence reports, or 0 when asking fails. Only a hint: a user's
// __len__ may say anything, so what is reserved from it is capped.
std::size_t reservation_hint(PyObject* sequence);
inline constexpr std::size_t kReserveBytes = std::size_t{1} << 20;

// Reads a non-str sequence by iteration (never by index), converting each
// item with `read_item(item)`; `reserve(n)` gets the capped length hint.
template <class ReadItem, class Reserve>
PyResult<void> extract_sequence(PyObject* object, ReadItem&& read_item, Reserve&& reserve) {
  if (PyUnicode_Check(object)) return fail(PyErr::type_error("Can't extract `str` to `Vec`"));
  if (!PySequence_Check(object)) return fail(PyErr::type_mismatch(object, "Sequence"));
  reserve(reservation_hint(object));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return fetch_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (auto read = read_item(item.get()); !read) return read;
  }
  if (PyErr_Occurred()) return fetch_error();
  return {};
}

template <class T>
struct FromPy<std::vector<T>> {
  static PyResult<std::vector<T>> extract(PyObject* object) {
    std::vector<T> items;
    auto read = extract_sequence(
        object,
        [&items](PyObject* item) -> PyResult<void> {
          auto value = FromPy<T>::extract(item);
          if (!value) return fail(std::move(value.error()));
          items.push_back(*std::move(value));
          return {};
        },
        [&items](std::size_t hint) { items.reserve(std::min(hint, kReserveBytes / sizeof(T))); });
    if (!read) return fail(std::move(read.error()));
    return items;
  }
};

// A vector: a 1-D float64/float32 array read directly, else a sequence of
// numbers; each value goes to `sink`.
template <class Sink, class Reserve>
PyResult<void> extract_floats(PyObject* object, Sink&& sink, Reserve&& reserve) {
  if (auto buffer = FloatBuffer::get(object, 1)) {
    reserve(buffer->extent(0));
    buffer->read_row(0, sink);
    return {};
  }
  return extract_sequence(
      object,
      [&sink](PyObject* item) -> PyResult<void> {
        auto value = FromPy<double>::extract(item);
        if (!value) return fail(std::move(value.error()));
        sink(*value);
        return {};
      },
      reserve);
}

template <>
struct FromPy<std::vector<double>> {
  static PyResult<std::vector<double>> extract(PyObject* object) {
    std::vector<double> values;
    auto read = extract_floats(
        object, [&values](double value) { values.push_back(value); },
        [&values](std::size_t hint) { values.reserve(std::min(hint, kReserveBytes / sizeof(double))); });
    if (!read) return fail(std::move(read.error()));
    return values;
  }
};

// A list of vectors: a C-ordered 2-D float64 array is viewed in place (the
// buffer is held as long as the argument lives); other 2-D float arrays are
// copied; anything else is read as a sequence of vectors.
struct VectorListArgument {
  std::optional<FloatBuffer> buffer;
  VectorList list;
};

template <>
struct FromPy<VectorListArgument> {
  static PyResult<VectorListArgument> extract(PyObject* object);
};

// A 2-tuple of (text, any object).
template <>
struct FromPy<std::pair<std::string, PyRef>> {
  static PyResult<std::pair<std::string, PyRef>> extract(PyObject* object);
};

// A TypeError from converting parameter `name` becomes
// "argument '{name}': {message}"; any other error passes unchanged.
PyErr argument_extraction_error(const char* name, PyErr error);

template <class T>
PyResult<T> extract_argument(PyObject* slot, const char* name) {
  auto value = FromPy<T>::extract(slot);
  if (!value) return fail(argument_extraction_error(name, std::move(value.error())));
  return value;
}

// An optional parameter: an empty slot or None is absent.
template <class T>
PyResult<std::optional<T>> extract_optional_argument(PyObject* slot, const char* name) {
  if (slot == nullptr || slot == Py_None) return std::optional<T>();
  auto value = extract_argument<T>(slot, name);
  if (!value) return fail(std::move(value.error()));
  return std::optional<T>(*std::move(value));
}

// ---- native to Python -------------------------------------------------------

// The interpreter could not create a result object: print its error and fault.
[[noreturn]] void result_creation_failed();

inline PyObject* checked(PyObject* created) {
  if (created == nullptr) result_creation_failed();
  return created;
}

struct None {};

inline PyObject* into_py(None) { return Py_NewRef(Py_None); }
inline PyObject* into_py(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
inline PyObject* into_py(double value) { return checked(PyFloat_FromDouble(value)); }
inline PyObject* into_py(PyRef value) { return value.release(); }

template <class A, class B>
PyObject* into_py(const std::pair<A, B>& pair);

template <class T>
PyObject* into_py(std::span<const T> items) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), into_py(items[i]));
  }
  return list.release();
}
template <class T>
PyObject* into_py(const std::vector<T>& items) {
  return into_py(std::span<const T>(items));
}

template <class A, class B>
PyObject* into_py(const std::pair<A, B>& pair) {
  PyRef first = PyRef::steal(into_py(pair.first));
  PyRef second = PyRef::steal(into_py(pair.second));
  PyObject* tuple = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple, 0, first.release());
  PyTuple_SET_ITEM(tuple, 1, second.release());
  return tuple;
}

}  // namespace hobrin::py
