#include "python/runtime/module_def.hpp"

#include <string>

namespace hobrin::py {

PyResult<PyObject*> make_module(ModuleDef& def) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return fetch_error();
  std::int64_t expected = -1;
  if (!def.first_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    return fail(
        PyErr::import_error(std::string(def.definition.m_name) +
                            " does not yet support subinterpreters: import it in the main interpreter only"));
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

}  // namespace hobrin::py
