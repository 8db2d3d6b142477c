// The module entry of hobrin_ann._core: single-phase initialisation, created
// once per process, in the first interpreter that imports it.
#include "python/hobrin_ann/py_index.hpp"
#include "python/runtime/module_def.hpp"

namespace hobrin::py {
namespace {

PyResult<void> populate(PyObject* module) {
  HOBRIN_CHECK(add_class(module, py_index_type()));
  return {};
}

ModuleDef module_def{.initializer = populate, .definition = plain_module_definition("hobrin_ann._core")};

}  // namespace
}  // namespace hobrin::py

PyMODINIT_FUNC PyInit__core() {
  using namespace hobrin::py;
  return trampoline<PyObject*>(nullptr, [] { return make_module(module_def); });
}
