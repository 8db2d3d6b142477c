#include "python/hobrin/py_filter.hpp"

namespace hobrin::py {

PyResult<Filter> make_filter(const std::optional<Schema>& schema,
                             const std::pair<std::string, PyRef>& argument) {
  if (!schema)
    return fail(PyErr::value_error("No schema provided in HNSW instance; cannot use metadata filtering"));
  auto value = to_metadata(argument.second.get());
  if (!value) return fail(PyErr::value_error("Unsupported type for metadata filter"));
  return Filter::equal_to(argument.first, *std::move(value));
}

}  // namespace hobrin::py
