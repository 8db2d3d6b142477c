// The module entry: single-phase initialisation of `hobrin`, created once per
// process, in the first interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "python/runtime/pyclass.hpp"
#include "python/py_flat.hpp"
#include "python/py_hnsw.hpp"

namespace hobrin::py {
namespace {

PyResult<void> populate(PyObject* module) {
  HOBRIN_CHECK(add_class(module, py_flat_type()));
  HOBRIN_CHECK(add_class(module, py_hnsw_type()));
  return {};
}

struct ModuleDef {
  PyResult<void> (*initializer)(PyObject*);
  PyModuleDef definition;
  std::atomic<std::int64_t> first_interpreter{-1};  // -1: not created anywhere yet
  PyObject* module = nullptr;                       // set once, kept for the process
};

ModuleDef module_def{
    .initializer = populate,
    .definition =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = "hobrin",
            .m_doc = "",
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        },
};

PyResult<PyObject*> make_module(ModuleDef& def) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return fetch_error();
  std::int64_t expected = -1;
  if (!def.first_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    return fail(PyErr::import_error(
        "hobrin does not yet support subinterpreters: import it in the main interpreter only"));
  }
  if (def.module != nullptr) return Py_NewRef(def.module);
  PyObject* module = PyModule_Create2(&def.definition, 1013);
  if (module == nullptr) return fetch_error();
  if (auto populated = def.initializer(module); !populated) {
    Py_DECREF(module);
    return fail(std::move(populated.error()));
  }
  def.module = module;
  return Py_NewRef(module);
}

}  // namespace
}  // namespace hobrin::py

PyMODINIT_FUNC PyInit_hobrin() {
  using namespace hobrin::py;
  return trampoline<PyObject*>(nullptr, [] { return make_module(module_def); });
}
