#include "python/py_index.hpp"

#include <atomic>
#include <memory>

#include "index/graph_index.hpp"
#include "python/py_metadata.hpp"
#include "python/runtime/array_view.hpp"
#include "python/runtime/gil.hpp"

namespace hobrin::py {
namespace {

using ann::GraphIndex;

struct IndexPayload {
  std::unique_ptr<GraphIndex> index;
  std::unique_ptr<std::atomic<std::size_t>> linked;  // rows linked by the running add
};
using PyIndex = Instance<IndexPayload>;

constexpr const char* kNewParameters[] = {"dim", "metric", "dtype", "m", "ef_construction", "seed", "schema"};
constexpr const char* kAddParameters[] = {"vectors", "ids", "ids_out", "metadata", "threads"};
constexpr const char* kSearchParameters[] = {"queries", "k", "ef", "exact", "filter", "threads", "labels", "distances"};
constexpr const char* kIdParameters[] = {"id"};
constexpr const char* kGetParameters[] = {"ids", "out"};
constexpr FunctionDescription kNew{"GraphIndex", "__new__", kNewParameters, 7};
constexpr FunctionDescription kAdd{"GraphIndex", "add", kAddParameters, 5};
constexpr FunctionDescription kSearch{"GraphIndex", "search", kSearchParameters, 8};
constexpr FunctionDescription kContains{"GraphIndex", "contains", kIdParameters, 1};
constexpr FunctionDescription kGet{"GraphIndex", "get", kGetParameters, 2};
constexpr FunctionDescription kNoArguments{"GraphIndex", "stat", {}, 0};

ItemKind item_kind(const GraphIndex& index) {
  return index.options().dtype == ann::ElementType::Float32 ? ItemKind::Float32 : ItemKind::Float64;
}

PyErr shape_error(const char* name, std::size_t expected, std::size_t given) {
  return PyErr::value_error(std::string(name) + ": expected " + std::to_string(expected) + ", got " +
                            std::to_string(given));
}

PyResult<ann::Metric> metric_by_name(const std::string& name) {
  if (name == "euclidean") return ann::Metric::Euclidean;
  if (name == "cosine") return ann::Metric::Cosine;
  if (name == "inner_product") return ann::Metric::InnerProduct;
  return fail(PyErr::value_error("unknown metric '" + name + "'"));
}

PyObject* index_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct<IndexPayload, 7>(kNew, subtype, args, kwargs, [](std::span<PyObject*, 7> slots) -> PyResult<IndexPayload> {
    ann::IndexOptions options;
    HOBRIN_TRY(options.dim, extract_argument<std::uint64_t>(slots[0], "dim"));
    HOBRIN_TRY(auto metric, extract_argument<std::string>(slots[1], "metric"));
    HOBRIN_TRY(auto dtype, extract_argument<std::string>(slots[2], "dtype"));
    HOBRIN_TRY(options.m, extract_argument<std::uint64_t>(slots[3], "m"));
    HOBRIN_TRY(options.ef_construction, extract_argument<std::uint64_t>(slots[4], "ef_construction"));
    HOBRIN_TRY(options.seed, extract_optional_argument<std::uint64_t>(slots[5], "seed"));
    HOBRIN_TRY(options.schema, extract_optional_argument<std::vector<std::string>>(slots[6], "schema"));
    HOBRIN_TRY(options.metric, metric_by_name(metric));
    if (dtype != "float32" && dtype != "float64") return fail(PyErr::value_error("unknown dtype '" + dtype + "'"));
    options.dtype = dtype == "float32" ? ann::ElementType::Float32 : ann::ElementType::Float64;
    if (options.dim == 0) return fail(PyErr::value_error("dim must be at least 1"));
    if (options.m < 2) return fail(PyErr::value_error("m must be at least 2"));
    if (options.ef_construction == 0) return fail(PyErr::value_error("ef_construction must be at least 1"));
    return IndexPayload{GraphIndex::create(options), std::make_unique<std::atomic<std::size_t>>(0)};
  });
}

PyResult<std::vector<MetadataRow>> metadata_rows(const GraphIndex& index, PyObject* object, std::size_t count) {
  std::vector<MetadataRow> rows;
  if (object == Py_None) return rows;
  const auto& schema = index.options().schema;
  if (!schema) return fail(PyErr::value_error("metadata needs an index built with a schema"));
  HOBRIN_TRY(auto listed, extract_argument<std::vector<MetadataPairs>>(object, "metadata"));
  if (listed.size() != count) return fail(shape_error("metadata rows", count, listed.size()));
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto row = build_metadata_row(*schema, listed[i]);
    if (!row) {
      return fail(PyErr::value_error("metadata row " + std::to_string(i) + ": " + row.error().message_text()));
    }
    rows.push_back(*std::move(row));
  }
  return rows;
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 5>(
      py_index_type(), kAdd, self, args, nargs, kwnames, [](IndexPayload& p, std::span<PyObject*, 5> slots) -> PyResult<None> {
        GraphIndex& index = *p.index;
        HOBRIN_TRY(auto vectors, ArrayView::get(slots[0], "vectors", item_kind(index), 2, false));
        const std::size_t count = vectors.extent(0);
        if (vectors.extent(1) != index.options().dim) return fail(shape_error("vector length", index.options().dim, vectors.extent(1)));
        std::optional<ArrayView> ids;
        if (slots[1] != Py_None) {
          HOBRIN_TRY(ids, ArrayView::get(slots[1], "ids", ItemKind::Int64, 1, false));
          if (ids->extent(0) != count) return fail(shape_error("ids", count, ids->extent(0)));
        }
        HOBRIN_TRY(auto ids_out, ArrayView::get(slots[2], "ids_out", ItemKind::Int64, 1, true));
        if (ids_out.extent(0) != count) return fail(shape_error("ids_out", count, ids_out.extent(0)));
        HOBRIN_TRY(auto metadata, metadata_rows(index, slots[3], count));
        HOBRIN_TRY(auto threads, extract_argument<std::uint64_t>(slots[4], "threads"));

        p.linked->store(0, std::memory_order_relaxed);
        const auto added = without_gil([&] {
          return index.add(vectors.data(), count, ids ? static_cast<const std::int64_t*>(ids->data()) : nullptr,
                           static_cast<std::int64_t*>(ids_out.data()), metadata, threads, p.linked.get());
        });
        if (added) return None{};
        switch (added.error().kind) {
          case ann::AddError::Kind::IdPresent:
            return fail(PyErr::value_error("id " + std::to_string(added.error().id) + " is already in the index"));
          case ann::AddError::Kind::NegativeId:
            return fail(PyErr::value_error("ids must be non-negative, got " + std::to_string(added.error().id)));
          case ann::AddError::Kind::IdsExhausted:
            return fail(PyErr::value_error("no free ids are left after " + std::to_string(added.error().id) +
                                           ": pass ids explicitly"));
          case ann::AddError::Kind::TooManyVectors:
            break;
        }
        return fail(PyErr([] { return PyExc_MemoryError; }, "an index holds at most 4294967294 vectors"));
      });
}

// The filter as hobrin_ann.Index passes it: None, or (conditions, ids) with
// conditions a list of (name, [values]) and ids None or an int64 array.
PyResult<std::optional<ann::FilterQuery>> filter_argument(PyObject* object) {
  if (object == Py_None) return std::optional<ann::FilterQuery>();
  using NamedValues = std::pair<std::string, PyRef>;
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 2) {
    return fail(PyErr::type_error("argument 'filter': expected (conditions, ids)"));
  }
  ann::FilterQuery query;
  HOBRIN_TRY(auto conditions, extract_argument<std::vector<NamedValues>>(PyTuple_GET_ITEM(object, 0), "filter"));
  for (auto& [name, listed] : conditions) {
    HOBRIN_TRY(auto values, extract_argument<std::vector<PyRef>>(listed.get(), "filter"));
    ann::Condition condition{name, {}};
    condition.any_of.reserve(values.size());
    for (const PyRef& value : values) {
      auto converted = to_metadata(value.get());
      if (!converted) return fail(PyErr::type_error("filter value for '" + name + "' must be a str, int or float"));
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

// The first condition whose attribute is not in the schema.
std::string unknown_attribute(const GraphIndex& index, const ann::FilterQuery& query) {
  for (const ann::Condition& condition : query.all_of) {
    if (!schema_position(index.options().schema.value_or(Schema{}), condition.attribute)) return condition.attribute;
  }
  return "";
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 8>(
      py_index_type(), kSearch, self, args, nargs, kwnames, [](IndexPayload& p, std::span<PyObject*, 8> slots) -> PyResult<None> {
        const GraphIndex& index = *p.index;
        HOBRIN_TRY(auto queries, ArrayView::get(slots[0], "queries", item_kind(index), 2, false));
        const std::size_t count = queries.extent(0);
        if (queries.extent(1) != index.options().dim) return fail(shape_error("query length", index.options().dim, queries.extent(1)));
        ann::SearchRequest request{.queries = queries.data(), .count = count};
        HOBRIN_TRY(request.k, extract_argument<std::uint64_t>(slots[1], "k"));
        HOBRIN_TRY(request.ef, extract_argument<std::uint64_t>(slots[2], "ef"));
        request.exact = PyObject_IsTrue(slots[3]) == 1;
        HOBRIN_TRY(auto filter, filter_argument(slots[4]));
        HOBRIN_TRY(request.threads, extract_argument<std::uint64_t>(slots[5], "threads"));
        HOBRIN_TRY(auto labels, ArrayView::get(slots[6], "labels", ItemKind::Int64, 2, true));
        HOBRIN_TRY(auto distances, ArrayView::get(slots[7], "distances", item_kind(index), 2, true));
        if (request.k == 0) return fail(PyErr::value_error("k must be at least 1"));
        for (const ArrayView* out : {&labels, &distances}) {
          if (out->extent(0) != count || out->extent(1) != request.k) {
            return fail(PyErr::value_error("result arrays must have shape (queries, k)"));
          }
        }
        request.filter = filter ? &*filter : nullptr;
        request.labels = static_cast<std::int64_t*>(labels.data());
        request.distances = distances.data();
        const auto searched = without_gil([&] { return index.search(request); });
        if (searched) return None{};
        if (searched.error() == ann::SearchError::NoSchema) {
          return fail(PyErr::value_error("a filter needs an index built with a schema"));
        }
        return fail(PyErr::value_error("filter attribute '" + unknown_attribute(index, *filter) + "' is not in the schema"));
      });
}

PyObject* index_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kContains, self, args, nargs, kwnames, [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto id, extract_argument<std::int64_t>(slots[0], "id"));
        const bool found = without_gil([&] { return p.index->contains(id); });
        return PyRef::borrow(found ? Py_True : Py_False);
      });
}

PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kGet, self, args, nargs, kwnames, [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        const GraphIndex& index = *p.index;
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        HOBRIN_TRY(auto out, ArrayView::get(slots[1], "out", item_kind(index), 2, true));
        const std::size_t count = ids.extent(0);
        if (out.extent(0) != count || out.extent(1) != index.options().dim) {
          return fail(PyErr::value_error("out must have shape (len(ids), dim)"));
        }
        const auto* wanted = static_cast<const std::int64_t*>(ids.data());
        const auto missing = without_gil([&] { return index.get(wanted, count, out.data()); });
        if (!missing) return None{};
        PyRef key = PyRef::steal(checked(PyLong_FromLongLong(wanted[*missing])));
        PyErr_SetObject(PyExc_KeyError, key.get());
        return fetch_error();
      });
}

// The counters: size, linked and nbytes.
template <std::uint64_t (*read)(const IndexPayload&)>
PyObject* index_stat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 0>(
      py_index_type(), kNoArguments, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 0>) -> PyResult<std::uint64_t> { return read(p); });
}

std::uint64_t read_size(const IndexPayload& p) { return p.index->size(); }
std::uint64_t read_linked(const IndexPayload& p) { return p.linked->load(std::memory_order_relaxed); }
std::uint64_t read_nbytes(const IndexPayload& p) { return p.index->memory_bytes(); }

PyMethodDef kMethods[] = {
    fast_method("add", index_add, "add($self, vectors, ids, ids_out, metadata, threads)\n--\n\n"),
    fast_method("search", index_search,
                "search($self, queries, k, ef, exact, filter, threads, labels, distances)\n--\n\n"),
    fast_method("contains", index_contains, "contains($self, id)\n--\n\n"),
    fast_method("get", index_get, "get($self, ids, out)\n--\n\n"),
    fast_method("size", index_stat<read_size>, "size($self)\n--\n\n"),
    fast_method("linked", index_stat<read_linked>, "linked($self)\n--\n\nRows linked so far by the running add."),
    fast_method("nbytes", index_stat<read_nbytes>, "nbytes($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition kDefinition{
    .module = "hobrin_ann._core",
    .name = "GraphIndex",
    .text_signature = "(dim, metric, dtype, m, ef_construction, seed, schema)",
    .doc_body = "The native graph index behind hobrin_ann.Index; arguments are checked there.",
    .methods = kMethods,
    .tp_new = index_new,
    .tp_dealloc = tp_dealloc_impl<IndexPayload>,
    .basic_size = sizeof(PyIndex),
};

}  // namespace

LazyTypeObject& py_index_type() {
  static LazyTypeObject cell(kDefinition);
  return cell;
}

}  // namespace hobrin::py
