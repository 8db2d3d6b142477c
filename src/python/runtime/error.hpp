#pragma once
// The Python error value carried from a point of failure to the entry wrapper.
// A deferred error holds an exception type and a message and builds the
// exception object only when it is raised or inspected; a materialised error
// holds the interpreter's own type, value and traceback.
#include <expected>
#include <string>
#include <variant>

#include "python/runtime/py_ref.hpp"

namespace hobrin::py {

using ExceptionType = PyObject* (*)();

class PyErr {
 public:
  // A deferred error: `type` is called when the exception is built.
  PyErr(ExceptionType type, std::string message, PyRef cause = {});

  static PyErr value_error(std::string message);
  static PyErr type_error(std::string message);
  static PyErr runtime_error(std::string message);
  static PyErr system_error(std::string message);
  static PyErr import_error(std::string message);
  // TypeError "'{type}' object cannot be converted to '{target}'".
  static PyErr type_mismatch(PyObject* object, const char* target);

  // Takes the pending exception out of the interpreter. A FaultException that
  // comes back through Python code is resumed as an internal fault (throws).
  [[nodiscard]] static PyErr fetch();

  // Makes this error the interpreter's current exception.
  void restore() &&;

  // True when the exception's type is exactly `type` (subclasses do not count).
  bool is_exactly(PyObject* type) const;
  // The string form of the exception value (the message of a deferred error).
  std::string message_text() const;
  // The exception object itself, built if still deferred.
  PyRef into_value() &&;
  // The exception's __cause__, or an empty reference.
  PyRef cause() const;

 private:
  struct Deferred {
    ExceptionType type;
    std::string message;
    PyRef cause;
  };
  struct Materialised {
    PyRef type, value, traceback;
  };
  explicit PyErr(Materialised state) : state_(std::move(state)) {}
  std::variant<Deferred, Materialised> state_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;

// The unexpected half of a PyResult, for `return fail(PyErr::...)`.
inline std::unexpected<PyErr> fail(PyErr error) { return std::unexpected<PyErr>(std::move(error)); }
inline std::unexpected<PyErr> fetch_error() { return fail(PyErr::fetch()); }

// The module's exception for internal faults, created once on first need.
PyObject* fault_exception_type();

// Raises FaultException with `message` as the current exception.
void raise_fault(const std::string& message);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// str(object) as UTF-8 with lone surrogates replaced by U+FFFD. When str()
// raises, the error goes to the unraisable hook and a placeholder is returned.
std::string display_text(PyObject* object);

}  // namespace hobrin::py

// Early return of the error half of a PyResult (or std::expected of another
// error type converted by the caller first).
#define HOBRIN_CONCAT_INNER(a, b) a##b
#define HOBRIN_CONCAT(a, b) HOBRIN_CONCAT_INNER(a, b)
#define HOBRIN_TRY_IMPL(tmp, declaration, expression)          \
  auto tmp = (expression);                                     \
  if (!tmp) return ::hobrin::py::fail(std::move(tmp.error())); \
  declaration = *std::move(tmp)
// HOBRIN_TRY(auto dim, extract_argument<std::uint64_t>(slot, "dim"));
#define HOBRIN_TRY(declaration, expression) \
  HOBRIN_TRY_IMPL(HOBRIN_CONCAT(hobrin_try_, __LINE__), declaration, expression)
// HOBRIN_CHECK(result_without_value);
#define HOBRIN_CHECK(expression)                                  \
  do {                                                            \
    if (auto hobrin_check = (expression); !hobrin_check)          \
      return ::hobrin::py::fail(std::move(hobrin_check.error())); \
  } while (false)
