#include "python/runtime/pyclass.hpp"

#include <cstdio>

namespace hobrin::py {

std::string build_pyclass_doc(const char* name, const char* text_signature, const char* body) {
  return std::string(name) + text_signature + "\n--\n\n" + body;
}

namespace {

// Creates the type with its module-less name, silencing the DeprecationWarning
// that such a name draws, which would fail the import when warnings are errors.
PyResult<PyRef> create_quietly(PyType_Spec& type_spec) {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return fetch_error();
  PyRef guard = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!guard) return fetch_error();
  PyRef entered = PyRef::steal(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (!entered) return fetch_error();
  PyRef ignored = PyRef::steal(
      PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  PyRef type = ignored ? PyRef::steal(PyType_FromSpec(&type_spec)) : PyRef();
  std::optional<PyErr> error;
  if (!type) error = PyErr::fetch();
  PyRef exited = PyRef::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (error) return fail(*std::move(error));
  if (!exited) return fetch_error();
  return type;
}

}  // namespace

PyResult<PyTypeObject*> LazyTypeObject::get_or_create() {
  if (type_ != nullptr) return type_;
  if (doc_.empty())
    doc_ = build_pyclass_doc(definition_.name, definition_.text_signature, definition_.doc_body);
  PyType_Slot slots[] = {
      {Py_tp_methods, reinterpret_cast<void*>(definition_.methods)},
      {Py_tp_new, reinterpret_cast<void*>(definition_.tp_new)},
      {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition_.tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc_.c_str())},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      .name = definition_.name,
      .basicsize = static_cast<int>(definition_.basic_size),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  HOBRIN_TRY(PyRef type, create_quietly(type_spec));
  // The name carries no module prefix, so the module is named here; without
  // it the class has no __module__ and help() cannot document it.
  // A failed string creation must not reach the setter: a NULL value there
  // would delete the attribute instead of reporting the error.
  PyRef module_name = PyRef::steal(PyUnicode_FromString(definition_.module));
  if (!module_name) return fetch_error();
  if (PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) return fetch_error();
  type_ = reinterpret_cast<PyTypeObject*>(type.release());
  return type_;
}

PyTypeObject* LazyTypeObject::get() {
  auto type = get_or_create();
  if (type) return *type;
  std::move(type.error()).restore();
  PyErr_PrintEx(0);
  throw InternalFault(std::string("failed to create type object for ") + definition_.name);
}

namespace {

// RuntimeError naming the class, caused by the underlying error.
PyErr wrap_in_runtime_error(const char* name, PyErr cause) {
  return PyErr([] { return PyExc_RuntimeError; },
               std::string("An error occurred while initializing class ") + name,
               std::move(cause).into_value());
}

}  // namespace

PyResult<void> add_class(PyObject* module, LazyTypeObject& cell) {
  const char* name = cell.definition().name;
  auto type = cell.get_or_create();
  if (!type) return fail(wrap_in_runtime_error(name, std::move(type.error())));
  PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
  if (!name_object) return fetch_error();

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return fetch_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_error();
  } else if (!PyList_Check(all.get())) {
    return fail(PyErr::type_mismatch(all.get(), "PyList"));
  }
  if (PyList_Append(all.get(), name_object.get()) < 0) {
    PyErr error = PyErr::fetch();
    throw InternalFault("could not append __name__ to __all__: " + error.message_text());
  }
  if (PyObject_SetAttr(module, name_object.get(), reinterpret_cast<PyObject*>(*type)) < 0)
    return fetch_error();
  return {};
}

}  // namespace hobrin::py
