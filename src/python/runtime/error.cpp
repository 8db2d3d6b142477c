#include "python/runtime/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "common/fault.hpp"

namespace hobrin::py {
namespace {

PyObject* type_error_type() { return PyExc_TypeError; }
PyObject* value_error_type() { return PyExc_ValueError; }
PyObject* runtime_error_type() { return PyExc_RuntimeError; }
PyObject* system_error_type() { return PyExc_SystemError; }
PyObject* import_error_type() { return PyExc_ImportError; }

constexpr const char* kFaultDoc =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // lone surrogate
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-8 of a str, lone surrogates replaced by U+FFFD.
std::string utf8_lossy(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
  PyErr_Clear();
  std::string out;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) append_utf8(out, PyUnicode_READ_CHAR(text, i));
  return out;
}

}  // namespace

PyErr::PyErr(ExceptionType type, std::string message, PyRef cause)
    : state_(Deferred{type, std::move(message), std::move(cause)}) {}

PyErr PyErr::value_error(std::string message) { return PyErr(value_error_type, std::move(message)); }
PyErr PyErr::type_error(std::string message) { return PyErr(type_error_type, std::move(message)); }
PyErr PyErr::runtime_error(std::string message) { return PyErr(runtime_error_type, std::move(message)); }
PyErr PyErr::system_error(std::string message) { return PyErr(system_error_type, std::move(message)); }
PyErr PyErr::import_error(std::string message) { return PyErr(import_error_type, std::move(message)); }

PyErr PyErr::type_mismatch(PyObject* object, const char* target) {
  std::string message = "'";
  message.append(type_qualname(object))
      .append("' object cannot be converted to '")
      .append(target)
      .append("'");
  return type_error(std::move(message));
}

namespace {

// Takes the pending exception as a normalised (type, value, traceback), the
// traceback attached to the value; all three empty when none is pending.
std::tuple<PyRef, PyRef, PyRef> take_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != nullptr) {
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  }
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

}  // namespace

PyErr PyErr::fetch() {
  auto [type_ref, value_ref, traceback_ref] = take_pending();
  if (!type_ref) return system_error("attempted to fetch exception but none was set");
  PyObject* value = value_ref.get();
  PyObject* fault_type = fault_exception_type();
  if (value != nullptr && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(fault_type)) {
    // An internal fault of ours came back through Python code (a nested call
    // from a user callback): show where it passed, then carry it on.
    std::string message = "internal fault resumed from Python; its text could not be read";
    if (PyObject* text = PyObject_Str(value)) {
      message = utf8_lossy(text);
      Py_DECREF(text);
    } else {
      PyErr_Clear();
    }
    std::fputs(
        "hobrin: resuming an internal fault after fetching FaultException from Python\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_Restore(type_ref.release(), value_ref.release(), traceback_ref.release());
    PyErr_PrintEx(0);
    throw InternalFault(InternalFault::Resumed{}, message);
  }
  return PyErr(Materialised{std::move(type_ref), std::move(value_ref), std::move(traceback_ref)});
}

void PyErr::restore() && {
  if (auto* deferred = std::get_if<Deferred>(&state_)) {
    PyObject* type = deferred->type();
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
        deferred->message.data(), static_cast<Py_ssize_t>(deferred->message.size())));
    if (!message) return;  // MemoryError is pending instead
    PyRef value = PyRef::steal(PyObject_CallOneArg(type, message.get()));
    if (!value) return;  // the error of building it is pending instead
    if (deferred->cause) PyException_SetCause(value.get(), deferred->cause.release());
    PyErr_SetObject(type, value.get());
    return;
  }
  auto& m = std::get<Materialised>(state_);
  PyErr_Restore(m.type.release(), m.value.release(), m.traceback.release());
}

PyRef PyErr::into_value() && {
  if (auto* materialised = std::get_if<Materialised>(&state_)) return std::move(materialised->value);
  std::move(*this).restore();
  return std::get<1>(take_pending());
}

bool PyErr::is_exactly(PyObject* type) const {
  if (auto* deferred = std::get_if<Deferred>(&state_)) return deferred->type() == type;
  return std::get<Materialised>(state_).type.get() == type;
}

std::string PyErr::message_text() const {
  if (auto* deferred = std::get_if<Deferred>(&state_)) return deferred->message;
  const auto& m = std::get<Materialised>(state_);
  return m.value ? display_text(m.value.get()) : std::string();
}

PyRef PyErr::cause() const {
  if (auto* deferred = std::get_if<Deferred>(&state_)) return deferred->cause;
  const auto& m = std::get<Materialised>(state_);
  if (!m.value) return {};
  return PyRef::steal(PyException_GetCause(m.value.get()));
}

PyObject* fault_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type =
        PyErr_NewExceptionWithDoc("native_runtime.FaultException", kFaultDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
      std::fputs("hobrin: Failed to initialize new exception type.\n", stderr);
      std::abort();
    }
  }
  return type;
}

void raise_fault(const std::string& message) { PyErr(fault_exception_type, message).restore(); }

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8_lossy(name.get());
}

std::string display_text(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (text) return utf8_lossy(text.get());
  PyErr_WriteUnraisable(object);
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + utf8_lossy(name.get()) + " object>";
}

}  // namespace hobrin::py
