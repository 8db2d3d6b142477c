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
    auto row = build_metadata_row(*schema, listed[i]);
    if (!row) return fail(PyErr::value_error(where + row.error().message_text()));
    rows.push_back(*std::move(row));
  }
  return rows;
}

PyResult<std::optional<ann::FilterQuery>> filter_argument(PyObject* object) {
  if (object == Py_None) return std::optional<ann::FilterQuery>();
  using NamedValues = std::pair<std::string, PyRef>;
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 2) {
    return fail(PyErr::type_error("argument 'filter': expected (conditions, ids)"));
  }
  ann::FilterQuery query;
  HOBRIN_TRY(auto conditions,
             extract_argument<std::vector<NamedValues>>(PyTuple_GET_ITEM(object, 0), "filter"));
  for (auto& [name, listed] : conditions) {
    HOBRIN_TRY(auto values, extract_argument<std::vector<PyRef>>(listed.get(), "filter"));
    ann::Condition condition{name, {}};
    condition.any_of.reserve(values.size());
    for (const PyRef& value : values) {
      auto converted = to_metadata(value.get());
      if (!converted)
        return fail(PyErr::type_error("filter value for '" + name + "' must be a str, int or float"));
      condition.any_of.push_back(*std::move(converted));
    }
    query.all_of.push_back(std::move(condition));
  }
  PyObject* ids = PyTuple_GET_ITEM(object, 1);
  if (ids != Py_None) {
    HOBRIN_TRY(auto view, ArrayView::get(ids, "filter", ItemKind::Int64, 1, false));
    const auto* first = static_cast<const std::int64_t*>(view.data());
    query.ids.emplace(first, first + view.extent(0));
  }
  return std::optional<ann::FilterQuery>(std::move(query));
}

PyErr filter_refused(const ann::FilterRefusal& refusal) {
  if (refusal.reason == ann::FilterRefusal::Reason::NoSchema)
    return PyErr::value_error("a filter needs an index built with a schema");
  return PyErr::value_error("filter attribute '" + refusal.attribute + "' is not in the schema");
}

std::optional<PyErr> filter_error(const GraphIndex& index, const ann::FilterQuery& query) {
  if (const auto refused = ann::refusal_of(query, index.options().schema)) return filter_refused(*refused);
  return std::nullopt;
}

}  // namespace hobrin::py
