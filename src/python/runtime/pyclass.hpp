#pragma once
// The machinery shared by the Python classes: the instance layout, the type
// objects created once from a static description, construction, destruction and the
// method-call path (bind, check receiver, take access, convert, run, return).
#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "python/runtime/access.hpp"
#include "python/runtime/arguments.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/trampoline.hpp"

namespace hobrin::py {

// Object header, then the class's native state, then its access flag.
template <class Payload>
struct Instance {
  PyObject_HEAD Payload payload;
  AccessFlag access;
};

// What a class is made from. Filled in statically by each class.
struct ClassDefinition {
  const char* module;          // set as the class's __module__
  const char* name;
  const char* text_signature;  // "(dim, metric=None)"
  const char* doc_body;
  PyMethodDef* methods;        // terminated by an empty entry
  newfunc tp_new;
  destructor tp_dealloc;
  Py_ssize_t basic_size;
};

// A fast-call method entry: positional values, their count and keyword names.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fast_method(const char* name, FastMethod function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// A class's type object, created on first need and kept for the process.
class LazyTypeObject {
 public:
  explicit LazyTypeObject(const ClassDefinition& definition) : definition_(definition) {}
  PyResult<PyTypeObject*> get_or_create();
  // For the receiver check: a failure here is an internal fault.
  PyTypeObject* get();
  const ClassDefinition& definition() const { return definition_; }

 private:
  const ClassDefinition& definition_;
  std::string doc_;
  PyTypeObject* type_ = nullptr;
};

// "{name}{signature}\n--\n\n{body}"
std::string build_pyclass_doc(const char* name, const char* text_signature, const char* body);

// Adds the class to the module and its __all__.
PyResult<void> add_class(PyObject* module, LazyTypeObject& cell);

// Allocates an instance of `subtype` and moves the built payload into it.
template <class Payload>
PyResult<PyObject*> tp_new_impl(PyTypeObject* subtype, Payload&& payload) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* object = alloc(subtype, 0);
  if (object == nullptr) return fetch_error();  // `payload` is destroyed by the caller
  auto* instance = reinterpret_cast<Instance<std::remove_cvref_t<Payload>>*>(object);
  new (&instance->payload) std::remove_cvref_t<Payload>(std::forward<Payload>(payload));
  new (&instance->access) AccessFlag();
  return object;
}

template <class Payload>
void tp_dealloc_impl(PyObject* object) {
  trampoline_unraisable([object] {
    PyTypeObject* type = Py_TYPE(object);
    auto* instance = reinterpret_cast<Instance<Payload>*>(object);
    instance->payload.~Payload();
    instance->access.~AccessFlag();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    check_invariant(free_slot != nullptr, "PyBaseObject_Type should have tp_free");
    free_slot(object);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  });
}

// The constructor path: bind by tuple and dictionary, then `build(slots)`
// converts the arguments and returns the payload.
template <class Payload, std::size_t N, class Build>
PyObject* construct(const FunctionDescription& description, PyTypeObject* subtype, PyObject* args,
                    PyObject* kwargs, Build&& build) {
  return trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
    std::array<PyObject*, N> slots{};
    if (auto bound = extract_arguments_tuple_dict(description, args, kwargs, slots); !bound) {
      return fail(std::move(bound.error()));
    }
    PyResult<Payload> payload = build(std::span<PyObject*, N>(slots));
    if (!payload) return fail(std::move(payload.error()));
    return tp_new_impl(subtype, *std::move(payload));
  });
}

// The method path. `body(payload, slots)` converts its arguments in order and
// returns PyResult<R>; R is converted to a new Python object while the access
// is still held, so results may point into the payload.
template <class Payload, Access kind, std::size_t N, class Body>
PyObject* call_method(LazyTypeObject& cell, const FunctionDescription& description, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
    std::array<PyObject*, N> slots{};
    if (auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots); !bound) {
      return fail(std::move(bound.error()));
    }
    if (!PyObject_TypeCheck(self, cell.get()))
      return fail(PyErr::type_mismatch(self, cell.definition().name));
    auto* instance = reinterpret_cast<Instance<Payload>*>(self);
    auto guard = AccessGuard<kind>::acquire(self, instance->access);
    if (!guard) return fail(std::move(guard.error()));
    auto result = body(instance->payload, std::span<PyObject*, N>(slots));
    if (!result) return fail(std::move(result.error()));
    return into_py(*result);
  });
}

}  // namespace hobrin::py
