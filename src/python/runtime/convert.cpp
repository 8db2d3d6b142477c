#include "python/runtime/convert.hpp"

#include <cstdio>

#include "common/fault.hpp"

namespace hobrin::py {

PyResult<std::uint64_t> FromPy<std::uint64_t>::extract(PyObject* object) {
  PyRef integer = PyRef::borrow(object);
  if (!PyLong_Check(object)) {
    integer = PyRef::steal(PyNumber_Index(object));
    if (!integer) return fetch_error();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fetch_error();
  return static_cast<std::uint64_t>(value);
}

PyResult<std::int64_t> FromPy<std::int64_t>::extract(PyObject* object) {
  // long long is at least 64 bits on every platform; long is 32 on some.
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return fetch_error();
  static_assert(sizeof(long long) == sizeof(std::int64_t));
  return static_cast<std::int64_t>(value);
}

PyResult<std::string> FromPy<std::string>::extract(PyObject* object) {
  if (!PyUnicode_Check(object)) return fail(PyErr::type_mismatch(object, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return fetch_error();
  return std::string(data, static_cast<std::size_t>(size));
}

PyResult<std::pair<std::string, PyRef>> FromPy<std::pair<std::string, PyRef>>::extract(PyObject* object) {
  if (!PyTuple_Check(object)) return fail(PyErr::type_mismatch(object, "PyTuple"));
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != 2) {
    return fail(
        PyErr::value_error("expected tuple of length 2, but got tuple of length " + std::to_string(length)));
  }
  auto name = FromPy<std::string>::extract(PyTuple_GET_ITEM(object, 0));
  if (!name) return fail(std::move(name.error()));
  return std::pair(*std::move(name), PyRef::borrow(PyTuple_GET_ITEM(object, 1)));
}

std::size_t reservation_hint(PyObject* sequence) {
  const Py_ssize_t reported = PyObject_Size(sequence);
  if (reported < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(reported);
}

PyResult<VectorListArgument> FromPy<VectorListArgument>::extract(PyObject* object) {
  VectorListArgument argument;
  if (auto buffer = FloatBuffer::get(object, 2)) {
    const std::size_t rows = buffer->extent(0), columns = buffer->extent(1);
    if (buffer->is_packed_float64()) {
      argument.list = VectorList::view(buffer->data(), rows, columns);
      argument.buffer.emplace(*std::move(buffer));
      return argument;
    }
    argument.list.reserve_rows(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      buffer->read_row(i, [&](double value) { argument.list.push_value(value); });
      argument.list.close_row();
    }
    return argument;
  }
  VectorList& list = argument.list;
  auto read = extract_sequence(
      object,
      [&list](PyObject* item) -> PyResult<void> {
        HOBRIN_CHECK(
            extract_floats(item, [&list](double value) { list.push_value(value); }, [](std::size_t) {}));
        list.close_row();
        return {};
      },
      [&list](std::size_t hint) { list.reserve_rows(std::min(hint, kReserveBytes / sizeof(std::size_t))); });
  if (!read) return fail(std::move(read.error()));
  return argument;
}

PyErr argument_extraction_error(const char* name, PyErr error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  return PyErr([] { return PyExc_TypeError; },
               std::string("argument '") + name + "': " + error.message_text(), error.cause());
}

void result_creation_failed() {
  PyErr_PrintEx(0);
  throw InternalFault("Python API call failed");
}

}  // namespace hobrin::py
