#include "python/hobrin_ann/py_index.hpp"

#include <atomic>
#include <cmath>
#include <memory>

#include "hobrin_ann/index/memory_estimate.hpp"
#include "hobrin_ann/index/thread_ready.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "python/hobrin_ann/index_arguments.hpp"
#include "python/hobrin_ann/index_payload.hpp"
#include "python/runtime/gil.hpp"

namespace hobrin::py {
namespace {

using ann::GraphIndex;
using PyIndex = Instance<IndexPayload>;

constexpr const char* kNewParameters[] = {"dim",  "metric", "dtype",        "m",           "ef_construction",
                                          "seed", "schema", "quantization", "keep_vectors"};
constexpr const char* kAddParameters[] = {"vectors", "ids", "ids_out", "metadata", "threads"};
constexpr const char* kSearchParameters[] = {"queries", "k",      "ef",        "exact", "filter",
                                             "threads", "labels", "distances", "rerank"};
constexpr const char* kIdParameters[] = {"id"};
constexpr const char* kGetParameters[] = {"ids", "out"};
constexpr FunctionDescription kNew{"GraphIndex", "__new__", kNewParameters, 9};
constexpr FunctionDescription kAdd{"GraphIndex", "add", kAddParameters, 5};
constexpr FunctionDescription kSearch{"GraphIndex", "search", kSearchParameters, 9};
constexpr FunctionDescription kContains{"GraphIndex", "contains", kIdParameters, 1};
constexpr FunctionDescription kGet{"GraphIndex", "get", kGetParameters, 2};
constexpr FunctionDescription kNoArguments{"GraphIndex", "stat", {}, 0};
constexpr const char* kContainsManyParameters[] = {"ids", "found"};
constexpr const char* kCheckMetadataParameters[] = {"metadata", "count"};
constexpr const char* kCheckFilterParameters[] = {"filter"};
constexpr const char* kEstimateParameters[] = {"dim", "dtype", "m", "count", "quantization", "keep_vectors"};
constexpr FunctionDescription kContainsMany{"GraphIndex", "contains_many", kContainsManyParameters, 2};
constexpr FunctionDescription kCheckMetadata{"GraphIndex", "check_metadata", kCheckMetadataParameters, 2};
constexpr FunctionDescription kCheckFilter{"GraphIndex", "check_filter", kCheckFilterParameters, 1};
constexpr FunctionDescription kEstimate{"GraphIndex", "estimate_nbytes", kEstimateParameters, 6};
constexpr const char* kWithinParameters[] = {"rows", "limit"};
constexpr FunctionDescription kWithin{"GraphIndex", "within", kWithinParameters, 2};

PyResult<ann::ElementType> element_type_by_name(const std::string& name) {
  if (name == "float32") return ann::ElementType::Float32;
  if (name == "float64") return ann::ElementType::Float64;
  return fail(PyErr::value_error("unknown dtype '" + name + "'"));
}

PyResult<ann::Metric> metric_by_name(const std::string& name) {
  if (name == "euclidean") return ann::Metric::Euclidean;
  if (name == "cosine") return ann::Metric::Cosine;
  if (name == "inner_product") return ann::Metric::InnerProduct;
  return fail(PyErr::value_error("unknown metric '" + name + "'"));
}

constexpr const char* kQuantizations[] = {"none", "float16", "int8", "int4", "qgraph"};

PyResult<ann::Quantization> quantization_by_name(const std::string& name) {
  for (int i = 0; i < 5; ++i) {
    if (name == kQuantizations[i]) return static_cast<ann::Quantization>(i);
  }
  return fail(PyErr::value_error("unknown quantization '" + name + "'"));
}

PyObject* index_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  if (!ann::prepare_thread()) return PyErr_NoMemory();
  return construct<IndexPayload, 9>(
      kNew, subtype, args, kwargs, [](std::span<PyObject*, 9> slots) -> PyResult<IndexPayload> {
        ann::IndexOptions options;
        HOBRIN_TRY(options.dim, extract_argument<std::uint64_t>(slots[0], "dim"));
        HOBRIN_TRY(auto metric, extract_argument<std::string>(slots[1], "metric"));
        HOBRIN_TRY(auto dtype, extract_argument<std::string>(slots[2], "dtype"));
        HOBRIN_TRY(options.m, extract_argument<std::uint64_t>(slots[3], "m"));
        HOBRIN_TRY(options.ef_construction, extract_argument<std::uint64_t>(slots[4], "ef_construction"));
        HOBRIN_TRY(options.seed, extract_optional_argument<std::uint64_t>(slots[5], "seed"));
        HOBRIN_TRY(options.schema, extract_optional_argument<std::vector<std::string>>(slots[6], "schema"));
        HOBRIN_TRY(options.metric, metric_by_name(metric));
        HOBRIN_TRY(options.dtype, element_type_by_name(dtype));
        HOBRIN_TRY(auto quantization, extract_argument<std::string>(slots[7], "quantization"));
        HOBRIN_TRY(options.quantization, quantization_by_name(quantization));
        options.keep_vectors = PyObject_IsTrue(slots[8]) == 1;
        if (const auto problem = ann::options_problem(options)) return fail(PyErr::value_error(*problem));
        return IndexPayload{GraphIndex::create(options), std::make_unique<std::atomic<std::size_t>>(0)};
      });
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 5>(
      py_index_type(), kAdd, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 5> slots) -> PyResult<None> {
        GraphIndex& index = *p.index;
        HOBRIN_CHECK(check_writable(index));
        HOBRIN_TRY(auto vectors, ArrayView::get(slots[0], "vectors", item_kind(index), 2, false));
        const std::size_t count = vectors.extent(0);
        if (vectors.extent(1) != index.options().dim)
          return fail(shape_error("vector length", index.options().dim, vectors.extent(1)));
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
          return index.add(vectors.data(), count,
                           ids ? static_cast<const std::int64_t*>(ids->data()) : nullptr,
                           static_cast<std::int64_t*>(ids_out.data()), metadata, threads, p.linked.get());
        });
        if (added) return None{};
        return fail(add_error(added.error()));
      });
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 9>(
      py_index_type(), kSearch, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 9> slots) -> PyResult<None> {
        const GraphIndex& index = *p.index;
        HOBRIN_TRY(auto queries, ArrayView::get(slots[0], "queries", item_kind(index), 2, false));
        const std::size_t count = queries.extent(0);
        if (queries.extent(1) != index.options().dim)
          return fail(shape_error("query length", index.options().dim, queries.extent(1)));
        ann::SearchRequest request{.queries = queries.data(), .count = count};
        HOBRIN_TRY(request.k, extract_argument<std::uint64_t>(slots[1], "k"));
        HOBRIN_TRY(request.ef, extract_argument<std::uint64_t>(slots[2], "ef"));
        request.exact = PyObject_IsTrue(slots[3]) == 1;
        HOBRIN_TRY(auto filter, filter_argument(slots[4]));
        HOBRIN_TRY(request.threads, extract_argument<std::uint64_t>(slots[5], "threads"));
        HOBRIN_TRY(auto labels, ArrayView::get(slots[6], "labels", ItemKind::Int64, 2, true));
        HOBRIN_TRY(auto distances, ArrayView::get(slots[7], "distances", item_kind(index), 2, true));
        HOBRIN_TRY(request.rerank, extract_argument<std::uint64_t>(slots[8], "rerank"));
        if (request.k == 0) return fail(PyErr::value_error("k must be at least 1"));
        for (const ArrayView* out : {&labels, &distances}) {
          if (out->extent(0) != count || out->extent(1) != request.k) {
            return fail(PyErr::value_error("result arrays must have shape (queries, k)"));
          }
        }
        request.filter = filter ? &*filter : nullptr;
        request.labels = static_cast<std::int64_t*>(labels.data());
        request.distances = distances.data();
        HOBRIN_CHECK(check_mapping(index));
        const auto searched = without_gil([&] { return index.search(request); });
        if (searched) return None{};
        return fail(filter_refused(searched.error()));
      });
}

PyObject* index_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kContains, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto id, extract_argument<std::int64_t>(slots[0], "id"));
        HOBRIN_CHECK(check_mapping(*p.index));
        const bool found = without_gil([&] { return p.index->contains(id); });
        return PyRef::borrow(found ? Py_True : Py_False);
      });
}

PyObject* index_contains_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kContainsMany, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        HOBRIN_TRY(auto found, ArrayView::get(slots[1], "found", ItemKind::Bool, 1, true));
        if (found.extent(0) != ids.extent(0))
          return fail(shape_error("found", ids.extent(0), found.extent(0)));
        HOBRIN_CHECK(check_mapping(*p.index));
        without_gil([&] {
          p.index->contains_many(static_cast<const std::int64_t*>(ids.data()), ids.extent(0),
                                 static_cast<bool*>(found.data()));
          return 0;
        });
        return None{};
      });
}

// What add and search check of their metadata and filter, without adding or
// searching.
PyObject* index_check_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kCheckMetadata, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto count, extract_argument<std::uint64_t>(slots[1], "count"));
        HOBRIN_CHECK(metadata_rows(*p.index, slots[0], count));
        return None{};
      });
}

PyObject* index_check_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kCheckFilter, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<None> {
        HOBRIN_TRY(auto filter, filter_argument(slots[0]));
        if (filter) {
          if (auto refused = p.index->check_filter(*filter)) return fail(filter_refused(*refused));
        }
        return None{};
      });
}

// Whether every value of a batch in the index's dtype is finite and at most
// `limit` in magnitude: the one pass that clears the usual batch before add
// or search (a batch it refuses is looked at again in Python, to name what
// is wrong).
template <class T>
bool values_within(const ArrayView& rows, double limit) {
  // The largest T at most `limit`, so that comparing in T decides as
  // comparing in double would.
  auto bound = static_cast<T>(limit);
  if (static_cast<double>(bound) > limit) bound = std::nextafter(bound, T{0});
  return fast::all_within(static_cast<const T*>(rows.data()), rows.extent(0) * rows.extent(1), bound);
}

PyObject* index_within(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kWithin, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<PyRef> {
        const ItemKind kind = item_kind(*p.index);
        HOBRIN_TRY(auto rows, ArrayView::get(slots[0], "rows", kind, 2, false));
        HOBRIN_TRY(auto limit, extract_argument<double>(slots[1], "limit"));
        const bool within = kind == ItemKind::Float32 ? values_within<float>(rows, limit)
                                                      : values_within<double>(rows, limit);
        return PyRef::borrow(within ? Py_True : Py_False);
      });
}

PyObject* index_estimate_nbytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
    std::array<PyObject*, 6> slots{};
    HOBRIN_CHECK(extract_arguments_fastcall(kEstimate, args, nargs, kwnames, slots));
    HOBRIN_TRY(auto dim, extract_argument<std::uint64_t>(slots[0], "dim"));
    HOBRIN_TRY(auto dtype_name, extract_argument<std::string>(slots[1], "dtype"));
    HOBRIN_TRY(auto m, extract_argument<std::uint64_t>(slots[2], "m"));
    HOBRIN_TRY(auto count, extract_argument<std::uint64_t>(slots[3], "count"));
    HOBRIN_TRY(auto dtype, element_type_by_name(dtype_name));
    ann::IndexOptions options;
    options.dim = dim;
    options.dtype = dtype;
    options.m = m;
    HOBRIN_TRY(auto quantization, extract_argument<std::string>(slots[4], "quantization"));
    HOBRIN_TRY(options.quantization, quantization_by_name(quantization));
    options.keep_vectors = PyObject_IsTrue(slots[5]) == 1;
    if (const auto problem = ann::options_problem(options)) return fail(PyErr::value_error(*problem));
    const std::uint64_t bytes =
        ann::estimate_memory_bytes(dim, dtype, m, count, options.quantization, options.keep_vectors);
    return into_py(bytes);
  });
}

PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kGet, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        const GraphIndex& index = *p.index;
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        HOBRIN_TRY(auto out, ArrayView::get(slots[1], "out", item_kind(index), 2, true));
        const std::size_t count = ids.extent(0);
        if (out.extent(0) != count || out.extent(1) != index.options().dim) {
          return fail(PyErr::value_error("out must have shape (len(ids), dim)"));
        }
        const auto* wanted = static_cast<const std::int64_t*>(ids.data());
        HOBRIN_CHECK(check_mapping(index));
        const auto missing = without_gil([&] { return index.get(wanted, count, out.data()); });
        if (!missing) return None{};
        PyRef key = PyRef::steal(checked(PyLong_FromLongLong(wanted[*missing])));
        PyErr_SetObject(PyExc_KeyError, key.get());
        return fetch_error();
      });
}

// ---- removal and compaction --------------------------------------------------

constexpr const char* kThreadsParameters[] = {"threads"};
constexpr FunctionDescription kCompact{"GraphIndex", "compact", kThreadsParameters, 1};
constexpr FunctionDescription kParams{"GraphIndex", "params", {}, 0};

PyObject* index_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kCompact, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto threads, extract_argument<std::uint64_t>(slots[0], "threads"));
        HOBRIN_CHECK(check_mapping(*p.index));
        return wrap_index(without_gil([&] { return p.index->compact(threads); }));
      });
}

// The constructor's arguments as the index holds them, keyed by the
// constructor's parameter names.
PyObject* index_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 0>(
      py_index_type(), kParams, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 0>) -> PyResult<PyRef> {
        const ann::IndexOptions& o = p.index->options();
        static constexpr const char* kMetrics[] = {"euclidean", "cosine", "inner_product"};
        PyRef seed =
            o.seed ? PyRef::steal(checked(PyLong_FromUnsignedLongLong(*o.seed))) : PyRef::borrow(Py_None);
        PyRef schema = PyRef::borrow(Py_None);
        if (o.schema) {
          schema = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(o.schema->size()))));
          for (std::size_t i = 0; i < o.schema->size(); ++i) {
            const std::string& name = (*o.schema)[i];
            PyObject* text =
                checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
            PyList_SET_ITEM(schema.get(), static_cast<Py_ssize_t>(i), text);
          }
        }
        return PyRef::steal(checked(Py_BuildValue(
            "{s:K,s:s,s:s,s:K,s:K,s:O,s:O,s:s,s:O}", "dim", static_cast<unsigned long long>(o.dim), "metric",
            kMetrics[static_cast<int>(o.metric)], "dtype",
            o.dtype == ann::ElementType::Float32 ? "float32" : "float64", "m",
            static_cast<unsigned long long>(o.m), "ef_construction",
            static_cast<unsigned long long>(o.ef_construction), "seed", seed.get(), "schema", schema.get(),
            "quantization", kQuantizations[static_cast<int>(o.quantization)], "keep_vectors",
            o.keep_vectors ? Py_True : Py_False)));
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
std::uint64_t read_mapped(const IndexPayload& p) { return p.index->read_only(); }

// Each call first sets up the calling thread's runtime state, so that an
// allocation failing later in it is raised as MemoryError instead of ending
// the process (thread_ready.hpp). The thread may be new to this module, and
// libraries loaded since its last call may need a larger table.
template <FastMethod method>
PyObject* prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!ann::prepare_thread()) return PyErr_NoMemory();
  return method(self, args, nargs, kwnames);
}

PyMethodDef kMethods[] = {
    fast_method("add", prepared<index_add>, "add($self, vectors, ids, ids_out, metadata, threads)\n--\n\n"),
    fast_method("search", prepared<index_search>,
                "search($self, queries, k, ef, exact, filter, threads, labels, distances, rerank)\n--\n\n"),
    fast_method("contains", prepared<index_contains>, "contains($self, id)\n--\n\n"),
    fast_method("contains_many", prepared<index_contains_many>,
                "contains_many($self, ids, found)\n--\n\nWhether the index holds each id, into found."),
    fast_method("check_metadata", prepared<index_check_metadata>,
                "check_metadata($self, metadata, count)\n--\n\nRaises what add raises for these rows."),
    fast_method("check_filter", prepared<index_check_filter>,
                "check_filter($self, filter)\n--\n\nRaises what search raises for this filter."),
    fast_method("within", prepared<index_within>,
                "within($self, rows, limit)\n--\n\nWhether every value is finite and at most limit in "
                "magnitude."),
    fast_method("get", prepared<index_get>, "get($self, ids, out)\n--\n\n"),
    fast_method("size", prepared<index_stat<read_size>>, "size($self)\n--\n\n"),
    fast_method("linked", prepared<index_stat<read_linked>>,
                "linked($self)\n--\n\nRows linked so far by the running add."),
    fast_method("nbytes", prepared<index_stat<read_nbytes>>, "nbytes($self)\n--\n\n"),
    fast_method("mapped", prepared<index_stat<read_mapped>>,
                "mapped($self)\n--\n\n1 when the index lies in a mapped file and is read-only."),
    fast_method("remove", prepared<index_remove>, "remove($self, ids, threads)\n--\n\n"),
    fast_method("upsert", prepared<index_upsert>, "upsert($self, vectors, ids, metadata, threads)\n--\n\n"),
    fast_method("update_metadata", prepared<index_update_metadata>,
                "update_metadata($self, ids, metadata)\n--\n\n"),
    fast_method("compact", prepared<index_compact>, "compact($self, threads)\n--\n\n"),
    fast_method("params", prepared<index_params>,
                "params($self)\n--\n\nThe constructor's arguments by name: dim, metric, dtype, m, "
                "ef_construction, seed, schema, quantization, keep_vectors."),
    fast_method("save", prepared<index_save>, "save($self, path, ef_search)\n--\n\n"),
    fast_method("to_bytes", prepared<index_to_bytes>, "to_bytes($self, ef_search)\n--\n\n"),
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(prepared<index_load>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path, mmap, verify)\n--\n\nAn index and its ef_search from a file."},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(prepared<index_from_bytes>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data)\n--\n\nAn index and its ef_search from bytes."},
    {"estimate_nbytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(prepared<index_estimate_nbytes>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "estimate_nbytes(dim, dtype, m, count, quantization, keep_vectors)\n--\n\nnbytes of an index of count "
     "vectors added at once."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition kDefinition{
    .module = "hobrin_ann._core",
    .name = "GraphIndex",
    .text_signature = "(dim, metric, dtype, m, ef_construction, seed, schema, quantization, keep_vectors)",
    .doc_body = "The native graph index behind hobrin_ann.Index; arguments are checked there.",
    .methods = kMethods,
    .tp_new = index_new,
    .tp_dealloc = tp_dealloc_impl<IndexPayload>,
    .basic_size = sizeof(PyIndex),
};

}  // namespace

PyResult<PyRef> wrap_index(std::unique_ptr<GraphIndex> index) {
  HOBRIN_TRY(PyTypeObject * type, py_index_type().get_or_create());
  HOBRIN_TRY(
      PyObject * object,
      tp_new_impl(type, IndexPayload{std::move(index), std::make_unique<std::atomic<std::size_t>>(0)}));
  return PyRef::steal(object);
}

LazyTypeObject& py_index_type() {
  static LazyTypeObject cell(kDefinition);
  return cell;
}

}  // namespace hobrin::py
