#pragma once
// Arrays of float64 or float32 values read through the buffer protocol (numpy
// arrays, array.array, memoryview), strided or contiguous. Anything else, or
// another shape, is left to the sequence path, which gives the same values and
// the same errors.
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "python/runtime/python.hpp"

namespace hobrin::py {

class FloatBuffer {
 public:
  // The object's buffer when it holds float64 or float32 values in `ndim`
  // dimensions; nullopt (no error set) otherwise.
  static std::optional<FloatBuffer> get(PyObject* object, int ndim);

  std::size_t extent(int dimension) const noexcept {
    return static_cast<std::size_t>(view_->shape[dimension]);
  }
  // Float64 rows laid out one after the other: they can be read in place.
  bool is_packed_float64() const noexcept;
  const double* data() const noexcept { return static_cast<const double*>(view_->buf); }
  // The value at (row, column); a 1-D buffer uses row 0.
  double at(std::size_t row, std::size_t column) const noexcept;
  // Appends row `row` (of a 2-D buffer) or the whole 1-D buffer to `out`.
  template <class Sink>
  void read_row(std::size_t row, Sink&& sink) const {
    const std::size_t columns = extent(view_->ndim - 1);
    for (std::size_t j = 0; j < columns; ++j) sink(at(row, j));
  }

 private:
  struct Release {
    void operator()(Py_buffer* view) const noexcept;
  };
  FloatBuffer(std::unique_ptr<Py_buffer, Release> view, bool is_double)
      : view_(std::move(view)), double_(is_double) {}
  // The view stays where the exporter filled it in: some exporters point its
  // shape or strides into the view itself, so it must never be copied.
  std::unique_ptr<Py_buffer, Release> view_;
  bool double_;
};

}  // namespace hobrin::py
