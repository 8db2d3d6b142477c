#pragma once
// What a hobrin_ann._core.GraphIndex object holds, and the methods that
// py_index_changes.cpp and py_index_files.cpp implement for it.
#include <atomic>
#include <cstddef>
#include <memory>

#include "hobrin_ann/index/graph_index.hpp"
#include "python/hobrin_ann/py_index.hpp"
#include "python/runtime/array_view.hpp"

namespace hobrin::py {

// Every method binds with shared access, the mutating add and remove too:
// the binding's flag only keeps a call from re-entering the same object
// while it runs Python code (an exclusive borrow would refuse a search on
// another thread during an add). The core orders its own callers: GraphIndex
// takes its lock exclusively for add and remove and shared for the rest.
struct IndexPayload {
  std::unique_ptr<ann::GraphIndex> index;
  std::unique_ptr<std::atomic<std::size_t>> linked;  // rows linked by the running add
};

inline ItemKind item_kind(const ann::GraphIndex& index) {
  return index.options().dtype == ann::ElementType::Float32 ? ItemKind::Float32 : ItemKind::Float64;
}

// Refuses a call that would read a mapped file changed in place since it was
// loaded (GraphIndex::mapping_changed): OSError(ESTALE, why).
PyResult<None> check_mapping(const ann::GraphIndex& index);

// A new GraphIndex object around `index`.
PyResult<PyRef> wrap_index(std::unique_ptr<ann::GraphIndex> index);

// The refusal of a change to an index that lies in a mapped file. The
// package says more before it gets here; this guards the module's own entry.
PyResult<None> check_writable(const ann::GraphIndex& index);
// The exception that reports why an add or upsert refused its batch.
PyErr add_error(const ann::AddError& error);

// Removals, upserts and metadata updates (py_index_changes.cpp).
PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_update_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Saving, loading, and the bytes that pickles hold.
PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace hobrin::py
