#include "python/runtime/metadata.hpp"

#include <string_view>
#include <unordered_map>

namespace hobrin::py {

std::optional<Metadata> to_metadata(PyObject* object) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(object, &size)) {
      return Metadata{std::string(text, static_cast<std::size_t>(size))};
    }
    PyErr_Clear();
  }
  // A signed 64-bit value: long long is that wide everywhere, long is not.
  static_assert(sizeof(long long) == sizeof(std::int64_t));
  const long long integer = PyLong_AsLongLong(object);
  if (!(integer == -1 && PyErr_Occurred())) return Metadata{static_cast<std::int64_t>(integer)};
  PyErr_Clear();
  if (PyFloat_CheckExact(object)) return Metadata{PyFloat_AS_DOUBLE(object)};
  const double real = PyFloat_AsDouble(object);
  if (!(real == -1.0 && PyErr_Occurred())) return Metadata{real};
  PyErr_Clear();
  return std::nullopt;
}

PyResult<MetadataRow> build_metadata_row(const Schema& schema, const MetadataPairs& pairs) {
  std::unordered_map<std::string_view, PyObject*> by_name;
  for (const auto& [name, value] : pairs) by_name.insert_or_assign(name, value.get());
  MetadataRow row;
  row.reserve(schema.size());
  for (const std::string& attribute : schema) {
    const auto found = by_name.find(attribute);
    if (found == by_name.end())
      return fail(PyErr::value_error("Missing metadata for attribute '" + attribute + "'"));
    auto value = to_metadata(found->second);
    if (!value)
      return fail(PyErr::value_error("Unsupported metadata type for attribute '" + attribute + "'"));
    row.push_back(*std::move(value));
  }
  return row;
}

}  // namespace hobrin::py
