#include "python/hobrin/py_flat.hpp"

#include "hobrin/flat/flat.hpp"

namespace hobrin::py {
namespace {

using PyFlat = Instance<Flat>;

constexpr const char* kNewParameters[] = {"dim", "metric"};
constexpr const char* kInsertParameters[] = {"vector"};
constexpr const char* kSearchParameters[] = {"query", "k"};
constexpr const char* kCreateParameters[] = {"vectors"};
constexpr FunctionDescription kNew{"PyFlat", "__new__", kNewParameters, 1};
constexpr FunctionDescription kInsert{"PyFlat", "insert", kInsertParameters, 1};
constexpr FunctionDescription kSearch{"PyFlat", "search", kSearchParameters, 1};
constexpr FunctionDescription kCreate{"PyFlat", "create", kCreateParameters, 1};

std::string length_message(const char* what, std::uint64_t dim, std::size_t length) {
  return std::string("Expected ") + what + " of length " + std::to_string(dim) + ", got " +
         std::to_string(length);
}

PyObject* flat_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct<Flat, 2>(kNew, subtype, args, kwargs, [](std::span<PyObject*, 2> slots) -> PyResult<Flat> {
    HOBRIN_TRY(auto dim, extract_argument<std::uint64_t>(slots[0], "dim"));
    HOBRIN_TRY(auto metric, extract_optional_argument<std::string>(slots[1], "metric"));
    return Flat(dim, flat_metric_by_name(metric));
  });
}

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Flat, Access::Exclusive, 1>(
      py_flat_type(), kInsert, self, args, nargs, kwnames,
      [](Flat& flat, std::span<PyObject*, 1> slots) -> PyResult<None> {
        HOBRIN_TRY(auto vector, extract_argument<std::vector<double>>(slots[0], "vector"));
        if (vector.size() != flat.dim())
          return fail(PyErr::value_error(length_message("vector", flat.dim(), vector.size())));
        if (!flat.insert(vector)) throw InternalFault("a checked vector was refused");
        return None{};
      });
}

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Result = std::vector<std::pair<std::uint64_t, double>>;
  return call_method<Flat, Access::Shared, 2>(
      py_flat_type(), kSearch, self, args, nargs, kwnames,
      [](Flat& flat, std::span<PyObject*, 2> slots) -> PyResult<Result> {
        HOBRIN_TRY(auto query, extract_argument<std::vector<double>>(slots[0], "query"));
        HOBRIN_TRY(auto k, extract_optional_argument<std::uint64_t>(slots[1], "k"));
        if (query.size() != flat.dim())
          return fail(PyErr::value_error(length_message("query", flat.dim(), query.size())));
        auto found = flat.search(query, k.value_or(1));
        if (!found) return fail(PyErr::value_error("Search error: " + std::string(to_string(found.error()))));
        Result result;
        result.reserve(found->size());
        for (const Candidate& c : *found) result.emplace_back(c.id, c.distance);
        return result;
      });
}

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Flat, Access::Exclusive, 1>(
      py_flat_type(), kCreate, self, args, nargs, kwnames,
      [](Flat& flat, std::span<PyObject*, 1> slots) -> PyResult<None> {
        HOBRIN_TRY(auto vectors, extract_argument<VectorListArgument>(slots[0], "vectors"));
        auto created = flat.create(vectors.list);
        if (created) return None{};
        if (created.error() != FlatError::DimensionMismatch) {
          return fail(PyErr::value_error("Create error: " + std::string(to_string(created.error()))));
        }
        // The vectors before the first one of another length are stored.
        std::size_t offending = 0;
        while (vectors.list[offending].size() == flat.dim()) ++offending;
        return fail(PyErr::value_error("Vector length " + std::to_string(vectors.list[offending].size()) +
                                       " does not match index dimension " + std::to_string(flat.dim())));
      });
}

PyMethodDef kMethods[] = {
    fast_method("insert", flat_insert,
                "insert($self, vector)\n--\n\n"
                "Insert a vector into the index.\n\n"
                "The vector is expected as a list of floats whose length equals the index dimension."),
    fast_method("search", flat_search,
                "search($self, query, k=None)\n--\n\n"
                "Search for the k nearest neighbors.\n\n"
                "Returns a list of tuples `(id, distance)`."),
    fast_method("create", flat_create,
                "create($self, vectors)\n--\n\n"
                "Create an index from a list of vectors."),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition kDefinition{
    .module = "hobrin",
    .name = "PyFlat",
    .text_signature = "(dim, metric=None)",
    .doc_body = "Our Python-facing Flat index.",
    .methods = kMethods,
    .tp_new = flat_new,
    .tp_dealloc = tp_dealloc_impl<Flat>,
    .basic_size = sizeof(PyFlat),
};

}  // namespace

LazyTypeObject& py_flat_type() {
  static LazyTypeObject cell(kDefinition);
  return cell;
}

}  // namespace hobrin::py
