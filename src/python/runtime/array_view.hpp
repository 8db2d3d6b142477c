#pragma once
// A C-contiguous array handed over through the buffer protocol, checked for
// its item type and number of dimensions, and held until the view is dropped.
#include <cstddef>
#include <memory>

#include "python/runtime/error.hpp"

namespace hobrin::py {

enum class ItemKind { Float32, Float64, Int64, Bool };

class ArrayView {
 public:
  // TypeError naming `name` when the object is not such an array.
  static PyResult<ArrayView> get(PyObject* object, const char* name, ItemKind kind, int ndim, bool writable);

  void* data() const noexcept { return view_->buf; }
  std::size_t extent(int dimension) const noexcept {
    return static_cast<std::size_t>(view_->shape[dimension]);
  }

 private:
  struct Release {
    void operator()(Py_buffer* view) const noexcept;
  };
  explicit ArrayView(std::unique_ptr<Py_buffer, Release> view) : view_(std::move(view)) {}
  std::unique_ptr<Py_buffer, Release> view_;
};

}  // namespace hobrin::py
