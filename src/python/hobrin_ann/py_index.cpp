#include "python/hobrin_ann/py_index.hpp"

#include <atomic>
#include <cstring>
#include <memory>

#include "hobrin_ann/format/file_io.hpp"
#include "hobrin_ann/index/graph_index.hpp"
#include "python/runtime/array_view.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/metadata.hpp"

namespace hobrin::py {
namespace {

using ann::GraphIndex;

// Every method binds with shared access, the mutating add and remove too:
// the binding's flag only keeps a call from re-entering the same object
// while it runs Python code (an exclusive borrow would refuse a search on
// another thread during an add). The core orders its own callers: GraphIndex
// takes its lock exclusively for add and remove and shared for the rest.
struct IndexPayload {
  std::unique_ptr<GraphIndex> index;
  std::unique_ptr<std::atomic<std::size_t>> linked;  // rows linked by the running add
};
using PyIndex = Instance<IndexPayload>;

constexpr const char* kNewParameters[] = {"dim", "metric", "dtype", "m", "ef_construction", "seed", "schema"};
constexpr const char* kAddParameters[] = {"vectors", "ids", "ids_out", "metadata", "threads"};
constexpr const char* kSearchParameters[] = {"queries", "k",       "ef",     "exact",
                                             "filter",  "threads", "labels", "distances"};
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
  return construct<IndexPayload, 7>(
      kNew, subtype, args, kwargs, [](std::span<PyObject*, 7> slots) -> PyResult<IndexPayload> {
        ann::IndexOptions options;
        HOBRIN_TRY(options.dim, extract_argument<std::uint64_t>(slots[0], "dim"));
        HOBRIN_TRY(auto metric, extract_argument<std::string>(slots[1], "metric"));
        HOBRIN_TRY(auto dtype, extract_argument<std::string>(slots[2], "dtype"));
        HOBRIN_TRY(options.m, extract_argument<std::uint64_t>(slots[3], "m"));
        HOBRIN_TRY(options.ef_construction, extract_argument<std::uint64_t>(slots[4], "ef_construction"));
        HOBRIN_TRY(options.seed, extract_optional_argument<std::uint64_t>(slots[5], "seed"));
        HOBRIN_TRY(options.schema, extract_optional_argument<std::vector<std::string>>(slots[6], "schema"));
        HOBRIN_TRY(options.metric, metric_by_name(metric));
        if (dtype != "float32" && dtype != "float64")
          return fail(PyErr::value_error("unknown dtype '" + dtype + "'"));
        options.dtype = dtype == "float32" ? ann::ElementType::Float32 : ann::ElementType::Float64;
        if (const auto problem = ann::options_problem(options)) return fail(PyErr::value_error(*problem));
        return IndexPayload{GraphIndex::create(options), std::make_unique<std::atomic<std::size_t>>(0)};
      });
}

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
    auto row = build_metadata_row(*schema, listed[i]);
    if (!row) {
      return fail(
          PyErr::value_error("metadata row " + std::to_string(i) + ": " + row.error().message_text()));
    }
    rows.push_back(*std::move(row));
  }
  return rows;
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 5>(
      py_index_type(), kAdd, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 5> slots) -> PyResult<None> {
        GraphIndex& index = *p.index;
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
        switch (added.error().kind) {
          case ann::AddError::Kind::IdPresent:
            return fail(
                PyErr::value_error("id " + std::to_string(added.error().id) + " is already in the index"));
          case ann::AddError::Kind::NegativeId:
            return fail(
                PyErr::value_error("ids must be non-negative, got " + std::to_string(added.error().id)));
          case ann::AddError::Kind::IdsExhausted:
            return fail(PyErr::value_error("no free ids are left after " + std::to_string(added.error().id) +
                                           ": pass ids explicitly"));
          case ann::AddError::Kind::TooManyVectors: break;
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

// The first condition whose attribute is not in the schema.
std::string unknown_attribute(const GraphIndex& index, const ann::FilterQuery& query) {
  for (const ann::Condition& condition : query.all_of) {
    if (!schema_position(index.options().schema.value_or(Schema{}), condition.attribute))
      return condition.attribute;
  }
  return "";
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 8>(
      py_index_type(), kSearch, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 8> slots) -> PyResult<None> {
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
        return fail(PyErr::value_error("filter attribute '" + unknown_attribute(index, *filter) +
                                       "' is not in the schema"));
      });
}

PyObject* index_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kContains, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto id, extract_argument<std::int64_t>(slots[0], "id"));
        const bool found = without_gil([&] { return p.index->contains(id); });
        return PyRef::borrow(found ? Py_True : Py_False);
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
        const auto missing = without_gil([&] { return index.get(wanted, count, out.data()); });
        if (!missing) return None{};
        PyRef key = PyRef::steal(checked(PyLong_FromLongLong(wanted[*missing])));
        PyErr_SetObject(PyExc_KeyError, key.get());
        return fetch_error();
      });
}

// ---- removal, compaction and files ---------------------------------------------

constexpr const char* kRemoveParameters[] = {"ids"};
constexpr const char* kThreadsParameters[] = {"threads"};
constexpr const char* kSaveParameters[] = {"path", "ef_search"};
constexpr const char* kEfParameters[] = {"ef_search"};
constexpr const char* kPathParameters[] = {"path"};
constexpr const char* kDataParameters[] = {"data"};
constexpr FunctionDescription kRemove{"GraphIndex", "remove", kRemoveParameters, 1};
constexpr FunctionDescription kCompact{"GraphIndex", "compact", kThreadsParameters, 1};
constexpr FunctionDescription kParams{"GraphIndex", "params", {}, 0};
constexpr FunctionDescription kSave{"GraphIndex", "save", kSaveParameters, 2};
constexpr FunctionDescription kToBytes{"GraphIndex", "to_bytes", kEfParameters, 1};
constexpr FunctionDescription kLoad{"GraphIndex", "load", kPathParameters, 1};
constexpr FunctionDescription kFromBytes{"GraphIndex", "from_bytes", kDataParameters, 1};

PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kRemove, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<None> {
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        const auto* wanted = static_cast<const std::int64_t*>(ids.data());
        const auto missing = without_gil([&] { return p.index->remove(wanted, ids.extent(0)); });
        if (!missing) return None{};
        PyRef key = PyRef::steal(checked(PyLong_FromLongLong(wanted[*missing])));
        PyErr_SetObject(PyExc_KeyError, key.get());
        return fetch_error();
      });
}

// A new GraphIndex object around `index`.
PyResult<PyRef> wrap_index(std::unique_ptr<GraphIndex> index) {
  HOBRIN_TRY(PyTypeObject * type, py_index_type().get_or_create());
  HOBRIN_TRY(
      PyObject * object,
      tp_new_impl(type, IndexPayload{std::move(index), std::make_unique<std::atomic<std::size_t>>(0)}));
  return PyRef::steal(object);
}

// (GraphIndex, ef_search) for a loaded index.
PyResult<PyRef> loaded_pair(GraphIndex::Loaded loaded) {
  HOBRIN_TRY(PyRef index, wrap_index(std::move(loaded.index)));
  PyRef ef = PyRef::steal(checked(PyLong_FromUnsignedLongLong(loaded.ef_search)));
  return PyRef::steal(checked(PyTuple_Pack(2, index.get(), ef.get())));
}

PyObject* index_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kCompact, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto threads, extract_argument<std::uint64_t>(slots[0], "threads"));
        return wrap_index(without_gil([&] { return p.index->compact(threads); }));
      });
}

// (dim, metric, dtype, m, ef_construction, seed, schema), as the constructor takes them.
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
            "(KssKKOO)", static_cast<unsigned long long>(o.dim), kMetrics[static_cast<int>(o.metric)],
            o.dtype == ann::ElementType::Float32 ? "float32" : "float64",
            static_cast<unsigned long long>(o.m), static_cast<unsigned long long>(o.ef_construction),
            seed.get(), schema.get())));
      });
}

// A file system path (str, encoded as the file system wants, or bytes),
// without NUL characters.
PyResult<std::string> path_argument(PyObject* object) {
  PyRef encoded;
  if (PyUnicode_Check(object)) {
    encoded = PyRef::steal(PyUnicode_EncodeFSDefault(object));
    if (!encoded) return fetch_error();
    object = encoded.get();
  }
  if (!PyBytes_Check(object)) return fail(PyErr::type_mismatch(object, "PyBytes"));
  const std::string path(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  if (path.find('\0') != std::string::npos) return fail(PyErr::value_error("embedded null byte"));
  return path;
}

// OSError(errno, message, path): the interpreter picks the subclass for errno.
PyResult<None> os_error(const ann::FileError& error, PyObject* path) {
  const std::string message = !error.detail.empty()
                                  ? error.detail
                                  : std::string(std::strerror(error.code)) + " (while " + error.action + ")";
  PyRef args = PyRef::steal(checked(Py_BuildValue("(isO)", error.code, message.c_str(), path)));
  PyErr_SetObject(PyExc_OSError, args.get());
  return fetch_error();
}

PyErr corrupt_error(const std::string& what) { return PyErr::value_error("corrupt index file: " + what); }

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kSave, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto path, path_argument(slots[0]));
        HOBRIN_TRY(auto ef_search, extract_argument<std::uint64_t>(slots[1], "ef_search"));
        const auto saved = without_gil([&] {
          return ann::save_file(path, [&](ann::ByteSink& sink) { p.index->save(sink, ef_search); });
        });
        if (!saved) return os_error(saved.error(), slots[0]);
        return None{};
      });
}

PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kToBytes, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto ef_search, extract_argument<std::uint64_t>(slots[0], "ef_search"));
        ann::StringSink sink;
        without_gil([&] {
          // The file is smaller than the index in memory but for the metadata.
          sink.bytes.reserve(p.index->memory_bytes());
          p.index->save(sink, ef_search);
          return 0;
        });
        return PyRef::steal(checked(
            PyBytes_FromStringAndSize(sink.bytes.data(), static_cast<Py_ssize_t>(sink.bytes.size()))));
      });
}

// The static methods: no receiver, a new index back.
template <class Body>
PyObject* static_method(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Body&& body) {
  return trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
    std::array<PyObject*, 1> slots{};
    HOBRIN_CHECK(extract_arguments_fastcall(description, args, nargs, kwnames, slots));
    HOBRIN_TRY(PyRef result, body(slots[0]));
    return result.release();
  });
}

using ReadIndex = std::function<void(ann::ByteSource&)>;

// Loads without the interpreter's lock: open(read) gives `read` a source and
// reports an I/O failure, raised as OSError naming `path`.
template <class Open>
PyResult<PyRef> load_with(PyObject* path, Open&& open) {
  std::optional<GraphIndex::Loaded> loaded;
  std::string corrupt;
  const auto opened = without_gil([&] {
    return open([&](ann::ByteSource& source) {
      try {
        loaded.emplace(GraphIndex::load(source));
      } catch (const ann::CorruptIndex& error) {
        corrupt = error.what();
      }
    });
  });
  if (!opened) HOBRIN_CHECK(os_error(opened.error(), path));
  if (!loaded) return fail(corrupt_error(corrupt));
  return loaded_pair(*std::move(loaded));
}

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return static_method(kLoad, args, nargs, kwnames, [](PyObject* argument) -> PyResult<PyRef> {
    HOBRIN_TRY(auto path, path_argument(argument));
    return load_with(argument, [&](const ReadIndex& read) { return ann::read_file(path, read); });
  });
}

PyObject* index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return static_method(kFromBytes, args, nargs, kwnames, [](PyObject* argument) -> PyResult<PyRef> {
    Py_buffer view;
    if (PyObject_GetBuffer(argument, &view, PyBUF_SIMPLE) != 0) return fetch_error();
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(view.buf),
                                           static_cast<std::size_t>(view.len));
    return load_with(argument, [&](const ReadIndex& read) -> std::expected<void, ann::FileError> {
      ann::MemorySource source(bytes);
      read(source);
      return {};
    });
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
    fast_method("linked", index_stat<read_linked>,
                "linked($self)\n--\n\nRows linked so far by the running add."),
    fast_method("nbytes", index_stat<read_nbytes>, "nbytes($self)\n--\n\n"),
    fast_method("remove", index_remove, "remove($self, ids)\n--\n\n"),
    fast_method("compact", index_compact, "compact($self, threads)\n--\n\n"),
    fast_method("params", index_params,
                "params($self)\n--\n\n(dim, metric, dtype, m, ef_construction, seed, schema)"),
    fast_method("save", index_save, "save($self, path, ef_search)\n--\n\n"),
    fast_method("to_bytes", index_to_bytes, "to_bytes($self, ef_search)\n--\n\n"),
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(index_load)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\nAn index and its ef_search from a file."},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(index_from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data)\n--\n\nAn index and its ef_search from bytes."},
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
