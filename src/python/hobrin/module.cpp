// The module entry: single-phase initialisation of `hobrin`, created once per
// process, in the first interpreter that imports it.
#include "python/hobrin/py_flat.hpp"
#include "python/hobrin/py_hnsw.hpp"
#include "python/runtime/module_def.hpp"
#include "python/runtime/pyclass.hpp"

namespace hobrin::py {
namespace {

PyResult<void> populate(PyObject* module) {
  HOBRIN_CHECK(add_class(module, py_flat_type()));
  HOBRIN_CHECK(add_class(module, py_hnsw_type()));
  return {};
}

ModuleDef module_def{.initializer = populate, .definition = plain_module_definition("hobrin")};

}  // namespace
}  // namespace hobrin::py

PyMODINIT_FUNC PyInit_hobrin() {
  using namespace hobrin::py;
  return trampoline<PyObject*>(nullptr, [] { return make_module(module_def); });
}
