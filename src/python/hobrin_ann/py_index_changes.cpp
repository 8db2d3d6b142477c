// hobrin_ann._core.GraphIndex: removals, upserts and metadata updates.
#include <optional>
#include <string>

#include "python/hobrin_ann/index_arguments.hpp"
#include "python/hobrin_ann/index_payload.hpp"
#include "python/runtime/gil.hpp"

namespace hobrin::py {

PyResult<None> check_writable(const ann::GraphIndex& index) {
  if (!index.read_only()) return None{};
  return fail(PyErr::value_error("the index is memory-mapped and read-only"));
}

PyErr add_error(const ann::AddError& error) {
  const std::string id = std::to_string(error.id);
  switch (error.kind) {
    case ann::AddError::Kind::IdPresent: return PyErr::value_error("id " + id + " is already in the index");
    case ann::AddError::Kind::IdRepeated: return PyErr::value_error("id " + id + " is given twice");
    case ann::AddError::Kind::NegativeId: return PyErr::value_error("ids must be non-negative, got " + id);
    case ann::AddError::Kind::IdsExhausted:
      return PyErr::value_error("no free ids are left after " + id + ": pass ids explicitly");
    case ann::AddError::Kind::TooManyVectors: break;
  }
  return PyErr([] { return PyExc_MemoryError; }, "an index holds at most 4294967294 vectors");
}

namespace {

constexpr const char* kRemoveParameters[] = {"ids", "threads"};
constexpr const char* kUpsertParameters[] = {"vectors", "ids", "metadata", "threads"};
constexpr const char* kUpdateParameters[] = {"ids", "metadata"};
constexpr FunctionDescription kRemove{"GraphIndex", "remove", kRemoveParameters, 2};
constexpr FunctionDescription kUpsert{"GraphIndex", "upsert", kUpsertParameters, 4};
constexpr FunctionDescription kUpdate{"GraphIndex", "update_metadata", kUpdateParameters, 2};

// A KeyError naming ids[at].
PyResult<None> missing_id(const std::int64_t* ids, std::size_t at) {
  PyRef key = PyRef::steal(checked(PyLong_FromLongLong(ids[at])));
  PyErr_SetObject(PyExc_KeyError, key.get());
  return fetch_error();
}

}  // namespace

PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kRemove, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_CHECK(check_writable(*p.index));
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        HOBRIN_TRY(auto threads, extract_argument<std::uint64_t>(slots[1], "threads"));
        const auto* wanted = static_cast<const std::int64_t*>(ids.data());
        const auto missing = without_gil([&] { return p.index->remove(wanted, ids.extent(0), threads); });
        if (!missing) return None{};
        return missing_id(wanted, *missing);
      });
}

PyObject* index_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 4>(
      py_index_type(), kUpsert, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 4> slots) -> PyResult<None> {
        ann::GraphIndex& index = *p.index;
        HOBRIN_CHECK(check_writable(index));
        HOBRIN_TRY(auto vectors, ArrayView::get(slots[0], "vectors", item_kind(index), 2, false));
        const std::size_t count = vectors.extent(0);
        if (vectors.extent(1) != index.options().dim)
          return fail(shape_error("vector length", index.options().dim, vectors.extent(1)));
        HOBRIN_TRY(auto ids, ArrayView::get(slots[1], "ids", ItemKind::Int64, 1, false));
        if (ids.extent(0) != count) return fail(shape_error("ids", count, ids.extent(0)));
        HOBRIN_TRY(auto metadata, metadata_rows(index, slots[2], count));
        HOBRIN_TRY(auto threads, extract_argument<std::uint64_t>(slots[3], "threads"));
        p.linked->store(0, std::memory_order_relaxed);
        const auto done = without_gil([&] {
          return index.upsert(vectors.data(), count, static_cast<const std::int64_t*>(ids.data()), metadata,
                              threads, p.linked.get());
        });
        if (done) return None{};
        return fail(add_error(done.error()));
      });
}

PyObject* index_update_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kUpdate, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        ann::GraphIndex& index = *p.index;
        HOBRIN_CHECK(check_writable(index));
        HOBRIN_TRY(auto ids, ArrayView::get(slots[0], "ids", ItemKind::Int64, 1, false));
        const std::size_t count = ids.extent(0);
        if (!index.options().schema)
          return fail(PyErr::value_error("metadata needs an index built with a schema"));
        HOBRIN_TRY(auto rows, metadata_rows(index, slots[1], count));
        const auto* wanted = static_cast<const std::int64_t*>(ids.data());
        const auto missing = without_gil([&] { return index.update_metadata(wanted, count, rows); });
        if (!missing) return None{};
        return missing_id(wanted, *missing);
      });
}

}  // namespace hobrin::py
