#pragma once
// Single-phase module creation shared by the extension modules: a module is
// created once per process, in the first interpreter that imports it, and the
// same object is returned to every later import there.
#include <atomic>
#include <cstdint>

#include "python/runtime/error.hpp"

namespace hobrin::py {

struct ModuleDef {
  PyResult<void> (*initializer)(PyObject*);
  PyModuleDef definition;
  std::atomic<std::int64_t> first_interpreter{-1};  // -1: not created anywhere yet
  PyObject* module = nullptr;                       // set once, kept for the process
};

// A module definition with the given name, empty doc and no functions.
constexpr PyModuleDef plain_module_definition(const char* name) {
  return {
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = name,
      .m_doc = "",
      .m_size = 0,
      .m_methods = nullptr,
      .m_slots = nullptr,
      .m_traverse = nullptr,
      .m_clear = nullptr,
      .m_free = nullptr,
  };
}

PyResult<PyObject*> make_module(ModuleDef& def);

}  // namespace hobrin::py
