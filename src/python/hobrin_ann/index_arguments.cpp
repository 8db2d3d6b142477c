#include "python/hobrin_ann/index_arguments.hpp"

#include "python/runtime/array_view.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/metadata.hpp"

namespace hobrin::py {

using ann::GraphIndex;

PyErr shape_error(const char* name, std::size_t expected, std::size_t given) {
  return PyErr::value_error(std::string(name) + ": expected " + std::to_string(expected) + ", got " +
                            std::to_string(given));
}

namespace {

// hobrin_ann refuses what the shared row builder lets pass for PyHNSW: a name
// outside the schema (a typo that would drop the value) and a name given twice
// in one row (which value was meant is unclear).
PyResult<void> check_names(const Schema& schema, const MetadataPairs& pairs) {
  std::vector<bool> seen(schema.size(), false);
  for (const auto& [name, value] : pairs) {
    const auto position = schema_position(schema, name);
    if (!position) return fail(PyErr::value_error("attribute '" + name + "' is not in the schema"));
    if (seen[*position]) return fail(PyErr::value_error("attribute '" + name + "' is given more than once"));
    seen[*position] = true;
  }
  return {};
}

// A value as hobrin_ann stores it: a scalar as PyHNSW types it, or a list
// or tuple of scalars (tags).
PyResult<Metadata> ann_value(const std::string& name, PyObject* object) {
  const auto unsupported = [&] {
    return PyErr::value_error("Unsupported metadata type for attribute '" + name +
                              "': expected a str, int or float, or a list or tuple of them");
  };
  if (!PyList_Check(object) && !PyTuple_Check(object)) {
    auto value = to_metadata(object);
    if (!value) return fail(unsupported());
    return *std::move(value);
  }
  // A copy of the items, so that conversions that run Python code cannot
  // change the sequence under the loop.
  const PyRef items = PyRef::steal(PySequence_Tuple(object));
  if (!items) return fail(PyErr::fetch());
  MetadataList list;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    auto value = to_metadata(PyTuple_GET_ITEM(items.get(), i));
    if (!value) return fail(unsupported());
    list.push_back(*std::move(value));
  }
  return Metadata{std::move(list)};
}

// One value per schema attribute in schema order; check_names has passed.
PyResult<MetadataRow> ann_row(const Schema& schema, const MetadataPairs& pairs) {
  MetadataRow row(schema.size());
  std::vector<bool> given(schema.size(), false);
  for (const auto& [name, value] : pairs) {
    const std::size_t position = *schema_position(schema, name);
    HOBRIN_TRY(row[position], ann_value(name, value.get()));
    given[position] = true;
  }
  for (std::size_t a = 0; a < schema.size(); ++a) {
    if (!given[a]) return fail(PyErr::value_error("Missing metadata for attribute '" + schema[a] + "'"));
  }
  return row;
}

}  // namespace

PyResult<std::vector<MetadataRow>> metadata_rows(const GraphIndex& index, PyObject* object,
                                                 std::size_t count) {
  std::vector<MetadataRow> rows;
  if (object == Py_None) return rows;
  const auto& schema = index.options().schema;
  if (!schema) return fail(PyErr::value_error("metadata needs an index built with a schema"));
  HOBRIN_TRY(auto listed, extract_argument<std::vector<MetadataPairs>>(object, "metadata"));
  if (listed.size() != count) return fail(shape_error("metadata rows", count, listed.size()));
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string where = "metadata row " + std::to_string(i) + ": ";
    if (auto named = check_names(*schema, listed[i]); !named)
      return fail(PyErr::value_error(where + named.error().message_text()));
    auto row = ann_row(*schema, listed[i]);
    if (!row) return fail(PyErr::value_error(where + row.error().message_text()));
    rows.push_back(*std::move(row));
  }
  return rows;
}

}  // namespace hobrin::py
