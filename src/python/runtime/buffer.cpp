#include "python/runtime/buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace hobrin::py {
namespace {

// 'd' or 'f' in native byte order, with an optional native-order prefix.
std::optional<bool> native_float_format(const char* format, Py_ssize_t itemsize) {
  std::string_view code = format == nullptr ? "B" : format;
  if (!code.empty() && (code.front() == '@' || code.front() == '=' || code.front() == '<')) {
    if (code.front() == '<' && std::endian::native != std::endian::little) return std::nullopt;
    code.remove_prefix(1);
  }
  if (code == "d" && itemsize == sizeof(double)) return true;
  if (code == "f" && itemsize == sizeof(float)) return false;
  return std::nullopt;
}

}  // namespace

void FloatBuffer::Release::operator()(Py_buffer* view) const noexcept {
  PyBuffer_Release(view);
  delete view;
}

std::optional<FloatBuffer> FloatBuffer::get(PyObject* object, int ndim) {
  if (!PyObject_CheckBuffer(object)) return std::nullopt;
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, view.get(), PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::unique_ptr<Py_buffer, Release> held(view.release());
  const auto is_double = native_float_format(held->format, held->itemsize);
  if (held->ndim != ndim || !is_double || held->suboffsets != nullptr) return std::nullopt;
  return FloatBuffer(std::move(held), *is_double);
}

bool FloatBuffer::is_packed_float64() const noexcept {
  if (!double_ || reinterpret_cast<std::uintptr_t>(view_->buf) % alignof(double) != 0) return false;
  Py_ssize_t expected = sizeof(double);
  for (int d = view_->ndim - 1; d >= 0; --d) {
    if (view_->shape[d] > 1 && view_->strides[d] != expected) return false;
    expected *= view_->shape[d];
  }
  return true;
}

double FloatBuffer::at(std::size_t row, std::size_t column) const noexcept {
  const auto* base = static_cast<const char*>(view_->buf);
  const Py_ssize_t offset = view_->ndim == 2 ? static_cast<Py_ssize_t>(row) * view_->strides[0] +
                                                   static_cast<Py_ssize_t>(column) * view_->strides[1]
                                             : static_cast<Py_ssize_t>(column) * view_->strides[0];
  if (double_) {
    double value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
  }
  float value;
  std::memcpy(&value, base + offset, sizeof value);
  return static_cast<double>(value);
}

}  // namespace hobrin::py
