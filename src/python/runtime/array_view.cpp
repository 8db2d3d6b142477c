#include "python/runtime/array_view.hpp"

#include <cstring>
#include <string>

namespace hobrin::py {
namespace {

// The buffer's struct format, without a byte-order or size prefix.
bool has_kind(const Py_buffer& view, ItemKind kind) {
  const char* format = view.format == nullptr ? "B" : view.format;
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  if (std::strlen(format) != 1) return false;
  switch (kind) {
    case ItemKind::Float32: return *format == 'f' && view.itemsize == 4;
    case ItemKind::Float64: return *format == 'd' && view.itemsize == 8;
    case ItemKind::Int64: return (*format == 'q' || *format == 'l') && view.itemsize == 8;
    case ItemKind::Bool: return *format == '?' && view.itemsize == 1;
  }
  return false;
}

const char* kind_name(ItemKind kind) {
  switch (kind) {
    case ItemKind::Float32: return "float32";
    case ItemKind::Float64: return "float64";
    case ItemKind::Int64: return "int64";
    case ItemKind::Bool: return "bool";
  }
  return "?";
}

}  // namespace

void ArrayView::Release::operator()(Py_buffer* view) const noexcept {
  PyBuffer_Release(view);
  delete view;
}

PyResult<ArrayView> ArrayView::get(PyObject* object, const char* name, ItemKind kind, int ndim,
                                   bool writable) {
  auto view = std::make_unique<Py_buffer>();
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(object, view.get(), flags) < 0) {
    PyErr_Clear();
    return fail(PyErr::type_error(std::string("argument '") + name + "': expected a C-contiguous " +
                                  (writable ? "writable " : "") + kind_name(kind) + " array"));
  }
  std::unique_ptr<Py_buffer, Release> held(view.release());
  if (held->ndim != ndim || !has_kind(*held, kind)) {
    return fail(PyErr::type_error(std::string("argument '") + name + "': expected a " + std::to_string(ndim) +
                                  "-D " + kind_name(kind) + " array"));
  }
  return ArrayView(std::move(held));
}

}  // namespace hobrin::py
