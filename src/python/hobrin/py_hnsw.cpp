#include "python/hobrin/py_hnsw.hpp"

#include <random>

#include "hobrin/hnsw/hnsw.hpp"
#include "python/hobrin/py_filter.hpp"
#include "python/runtime/metadata.hpp"

namespace hobrin::py {
namespace {

using PyHNSW = Instance<HNSW>;

constexpr const char* kNewParameters[] = {"dim",       "layers", "m",     "ef_construction",
                                          "ef_search", "metric", "schema"};
constexpr const char* kInsertParameters[] = {"vector", "metadata"};
constexpr const char* kSearchParameters[] = {"query", "k", "filter"};
constexpr const char* kCreateParameters[] = {"vectors", "metadata"};
constexpr FunctionDescription kNew{"PyHNSW", "__new__", kNewParameters, 1};
constexpr FunctionDescription kInsert{"PyHNSW", "insert", kInsertParameters, 1};
constexpr FunctionDescription kSearch{"PyHNSW", "search", kSearchParameters, 1};
constexpr FunctionDescription kCreate{"PyHNSW", "create", kCreateParameters, 1};

constexpr std::uint64_t kMaxLayers = 64;
constexpr const char* kNoSchema = "No schema provided in HNSW instance; cannot use metadata";

// Levels are drawn from a generator per thread, seeded from the OS.
std::mt19937_64& thread_generator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device source;
    std::seed_seq seed{source(), source(), source(), source()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

PyErr graph_error(const char* prefix, HNSWError error) {
  return PyErr::value_error(prefix + std::string(to_string(error)));
}

PyObject* hnsw_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct<HNSW, 7>(kNew, subtype, args, kwargs, [](std::span<PyObject*, 7> slots) -> PyResult<HNSW> {
    HOBRIN_TRY(auto dim, extract_argument<std::uint64_t>(slots[0], "dim"));
    HOBRIN_TRY(auto layers, extract_optional_argument<std::uint64_t>(slots[1], "layers"));
    HOBRIN_TRY(auto m, extract_optional_argument<std::uint64_t>(slots[2], "m"));
    HOBRIN_TRY(auto ef_construction, extract_optional_argument<std::uint64_t>(slots[3], "ef_construction"));
    HOBRIN_TRY(auto ef_search, extract_optional_argument<std::uint64_t>(slots[4], "ef_search"));
    HOBRIN_TRY(auto metric_name, extract_optional_argument<std::string>(slots[5], "metric"));
    HOBRIN_TRY(auto schema, extract_optional_argument<std::vector<std::string>>(slots[6], "schema"));

    const std::optional<Metric> metric = hnsw_metric_by_name(metric_name);
    if (!metric) return fail(PyErr::value_error("Unsupported metric"));
    // A zero dimension cannot count its nodes; a huge layer count would cost
    // that many passes per insertion.
    if (dim == 0) return fail(PyErr::value_error("dim must be at least 1"));
    if (layers.value_or(5) > kMaxLayers) return fail(PyErr::value_error("layers must be at most 64"));
    HNSWConfig config{.dim = dim, .distance = *metric, .schema = std::move(schema)};
    if (layers) config.layers = *layers;
    if (m) config.m = *m;
    if (ef_construction) config.ef_construction = *ef_construction;
    if (ef_search) config.ef_search = *ef_search;
    return HNSW(std::move(config));
  });
}

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<HNSW, Access::Exclusive, 2>(
      py_hnsw_type(), kInsert, self, args, nargs, kwnames,
      [](HNSW& index, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto vector, extract_argument<std::vector<double>>(slots[0], "vector"));
        HOBRIN_TRY(auto pairs, extract_optional_argument<MetadataPairs>(slots[1], "metadata"));
        std::optional<MetadataRow> row;
        if (pairs) {
          if (!index.schema()) return fail(PyErr::value_error(kNoSchema));
          HOBRIN_TRY(row, build_metadata_row(*index.schema(), *pairs));
        }
        if (vector.size() != index.dim()) {
          return fail(PyErr::value_error("Expected vector of length " + std::to_string(index.dim()) +
                                         ", got " + std::to_string(vector.size())));
        }
        auto inserted = index.insert(vector, row ? &*row : nullptr, thread_generator());
        if (!inserted) return fail(graph_error("Insert error: ", inserted.error()));
        return None{};
      });
}

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // Each stored vector is viewed in place; the list copies are made while the
  // shared access is still held.
  using Result = std::vector<std::pair<double, std::span<const double>>>;
  return call_method<HNSW, Access::Shared, 3>(
      py_hnsw_type(), kSearch, self, args, nargs, kwnames,
      [](HNSW& index, std::span<PyObject*, 3> slots) -> PyResult<Result> {
        HOBRIN_TRY(auto query, extract_argument<std::vector<double>>(slots[0], "query"));
        HOBRIN_TRY(auto k, extract_optional_argument<std::uint64_t>(slots[1], "k"));
        HOBRIN_TRY(auto filter_argument,
                   (extract_optional_argument<std::pair<std::string, PyRef>>(slots[2], "filter")));
        if (query.size() != index.dim()) {
          return fail(PyErr::value_error("Expected query of length " + std::to_string(index.dim()) +
                                         ", got " + std::to_string(query.size())));
        }
        std::optional<Filter> filter;
        if (filter_argument) {
          HOBRIN_TRY(filter, make_filter(index.schema(), *filter_argument));
        }
        auto found = index.search(query, k.value_or(1), filter ? &*filter : nullptr);
        if (!found) return fail(graph_error("Search error: ", found.error()));
        Result result;
        result.reserve(found->size());
        for (const Candidate& c : *found) result.emplace_back(c.distance, index.vector(c.id));
        return result;
      });
}

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<HNSW, Access::Exclusive, 2>(
      py_hnsw_type(), kCreate, self, args, nargs, kwnames,
      [](HNSW& index, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto argument, extract_argument<VectorListArgument>(slots[0], "vectors"));
        const VectorList& vectors = argument.list;
        HOBRIN_TRY(auto metadata,
                   extract_optional_argument<std::vector<MetadataPairs>>(slots[1], "metadata"));
        std::mt19937_64& generator = thread_generator();
        std::vector<MetadataRow> rows;
        if (!metadata) {
          if (vectors.empty()) return fail(graph_error("Create error: ", HNSWError::EmptyVectors));
        } else {
          if (metadata->size() != vectors.size()) {
            return fail(PyErr::value_error("Length of metadata list must match number of vectors"));
          }
          if (!index.schema()) return fail(PyErr::value_error(kNoSchema));
          rows.reserve(metadata->size());
          for (const MetadataPairs& pairs : *metadata) {
            HOBRIN_TRY(MetadataRow row, build_metadata_row(*index.schema(), pairs));
            rows.push_back(std::move(row));
          }
        }
        // Every vector is checked before the first is inserted.
        for (std::size_t i = 0; i < vectors.size(); ++i) {
          if (vectors[i].size() != index.dim()) {
            return fail(PyErr::value_error("Vector length " + std::to_string(vectors[i].size()) +
                                           " does not match index dimension " + std::to_string(index.dim())));
          }
        }
        if (metadata) {
          auto created = index.create(vectors, rows, generator);
          if (!created) return fail(graph_error("Create error: ", created.error()));
          return None{};
        }
        // Without metadata every vector goes in without a row, schema or not.
        for (std::size_t i = 0; i < vectors.size(); ++i) {
          auto inserted = index.insert(vectors[i], nullptr, generator);
          if (!inserted) return fail(graph_error("Create error: ", inserted.error()));
        }
        return None{};
      });
}

PyMethodDef kMethods[] = {
    fast_method("insert", hnsw_insert,
                "insert($self, vector, metadata=None)\n--\n\n"
                "Insert a vector into the index.\n\n"
                "The vector is expected as a list of floats.\n"
                "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
                "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    fast_method("search", hnsw_search,
                "search($self, query, k=None, filter=None)\n--\n\n"
                "Search for the k nearest neighbors.\n\n"
                "Returns a list of tuples `(distance, vector)`."),
    fast_method("create", hnsw_create, "create($self, vectors, metadata=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition kDefinition{
    .module = "hobrin",
    .name = "PyHNSW",
    .text_signature =
        "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)",
    .doc_body = "",
    .methods = kMethods,
    .tp_new = hnsw_new,
    .tp_dealloc = tp_dealloc_impl<HNSW>,
    .basic_size = sizeof(PyHNSW),
};

}  // namespace

LazyTypeObject& py_hnsw_type() {
  static LazyTypeObject cell(kDefinition);
  return cell;
}

}  // namespace hobrin::py
