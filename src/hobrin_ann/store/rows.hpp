#pragma once
// The stored vectors: one 64-byte aligned array of rows, each padded with
// zeros to whole blocks so that the fast kernels never need a tail loop.
// The array is owned, or a view of rows that lie elsewhere (a mapped file),
// which is read-only.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "common/growth.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/store/huge_pages.hpp"

namespace hobrin::ann {

template <class T>
class VectorRows {
 public:
  explicit VectorRows(std::size_t dim) : dim_(dim), stride_(fast::padded_length<T>(dim)) {}

  std::size_t dim() const noexcept { return dim_; }
  // Values from one row's start to the next's.
  std::size_t stride() const noexcept { return stride_; }
  std::size_t size() const noexcept { return size_; }
  const T* base() const noexcept { return base_; }
  const T* row(std::uint32_t node) const noexcept { return base_ + std::size_t{node} * stride_; }
  // Bytes owned: a view owns none.
  std::size_t bytes() const noexcept { return capacity_ * stride_ * sizeof(T); }

  // Uses `count` rows that lie at `rows` (64-byte aligned, padded, as
  // stored) in place of any owned ones; they must outlive this.
  void view(const T* rows, std::size_t count) noexcept {
    data_.reset();
    capacity_ = 0;
    base_ = rows;
    size_ = count;
  }

  // Room for `rows` rows in all; throws std::bad_alloc and keeps the contents.
  void reserve(std::size_t needed, bool exact = false) {
    if (needed <= capacity_) return;
    const std::size_t rows = exact ? needed : grown_capacity(capacity_, needed);
    if (stride_ != 0 && rows > SIZE_MAX / sizeof(T) / stride_) throw std::bad_alloc();
    const std::size_t values = std::max<std::size_t>(rows * stride_, 1);
    Storage grown(static_cast<T*>(::operator new[](values * sizeof(T), std::align_val_t{fast::kBlockBytes})));
    advise_huge_pages(grown.get(), values * sizeof(T));
    if (size_ != 0) std::memcpy(grown.get(), base_, size_ * stride_ * sizeof(T));
    data_ = std::move(grown);
    base_ = data_.get();
    capacity_ = rows;
  }

  // Appends a row of dim() values within the reserved room, scaled to unit
  // length when `unit` is set (a zero row stays zero), its value j taken from
  // values[order[j]] when an order is given.
  template <class Source>
  void append(const Source* values, bool unit, std::span<const std::uint32_t> order = {}) noexcept {
    write(data_.get() + size_ * stride_, values, unit, order);
    ++size_;
  }

  // Overwrites the stored row `node` as append() would write it (an owned
  // array only: a view is read-only).
  template <class Source>
  void replace(std::uint32_t node, const Source* values, bool unit,
               std::span<const std::uint32_t> order = {}) noexcept {
    write(data_.get() + std::size_t{node} * stride_, values, unit, order);
  }
  // The stored row `node`, writable (an owned array only).
  T* mutable_row(std::uint32_t node) noexcept { return data_.get() + std::size_t{node} * stride_; }

  // Appends a row of zeros within the reserved room and returns it, for the
  // caller to fill.
  T* append_zeros() noexcept {
    T* out = data_.get() + size_ * stride_;
    std::fill(out, out + stride_, T{0});
    ++size_;
    return out;
  }

  void truncate(std::size_t rows) noexcept { size_ = std::min(size_, rows); }

 private:
  template <class Source>
  void write(T* out, const Source* values, bool unit, std::span<const std::uint32_t> order) const noexcept {
    if (!unit) {  // a plain copy: dividing and multiplying by 1 changes no value
      if constexpr (std::is_same_v<Source, T>) {
        if (order.empty()) {
          std::memcpy(out, values, dim_ * sizeof(T));
        } else if (dim_ * sizeof(T) <= kStagedBytes) {
          // Read in order into a local copy, then permuted from it: the
          // permuted reads straight from a caller's array cost twice the
          // whole scan of a handful of rows (1.3 against 0.6 us a query at
          // 784 dimensions), though the row was in the cache either way.
          alignas(64) T staged[kStagedBytes / sizeof(T)];
          std::memcpy(staged, values, dim_ * sizeof(T));
          for (std::size_t j = 0; j < dim_; ++j) out[j] = staged[order[j]];
        } else {
          for (std::size_t j = 0; j < dim_; ++j) out[j] = values[order[j]];
        }
      } else {
        for (std::size_t j = 0; j < dim_; ++j) {
          out[j] = static_cast<T>(static_cast<double>(values[order.empty() ? j : order[j]]));
        }
      }
      std::fill(out + dim_, out + stride_, T{0});
      return;
    }
    double first = 1.0;   // values are divided by this,
    double second = 1.0;  // then multiplied by this
    unit_scale(values, first, second);
    for (std::size_t j = 0; j < dim_; ++j) {
      const std::size_t from = order.empty() ? j : order[j];
      out[j] = static_cast<T>(static_cast<double>(values[from]) / first * second);
    }
    std::fill(out + dim_, out + stride_, T{0});
  }

  // How to bring a row to unit length: divide by `first`, multiply by
  // `second`. The sum of squares in double overflows for values beyond about
  // 1e154 and underflows to zero below about 1e-162; such rows are first
  // divided by their largest magnitude. A zero row stays zero.
  template <class Source>
  void unit_scale(const Source* values, double& first, double& second) const noexcept {
    double squares = 0.0;
    for (std::size_t j = 0; j < dim_; ++j)
      squares += static_cast<double>(values[j]) * static_cast<double>(values[j]);
    if (squares > 1e-290 && squares < 1e290) {
      second = 1.0 / std::sqrt(squares);
      return;
    }
    double largest = 0.0;
    for (std::size_t j = 0; j < dim_; ++j)
      largest = std::max(largest, std::abs(static_cast<double>(values[j])));
    if (largest == 0.0) return;
    first = largest;
    squares = 0.0;
    for (std::size_t j = 0; j < dim_; ++j) {
      const double v = static_cast<double>(values[j]) / largest;
      squares += v * v;
    }
    second = 1.0 / std::sqrt(squares);
  }

  // The largest row permuted through a local copy (see write).
  static constexpr std::size_t kStagedBytes = 8192;

  struct Free {
    void operator()(T* p) const noexcept { ::operator delete[](p, std::align_val_t{fast::kBlockBytes}); }
  };
  using Storage = std::unique_ptr<T[], Free>;

  std::size_t dim_;       // values a caller gives per row
  std::size_t stride_;    // dim_ rounded up to whole 64-byte blocks
  std::size_t size_ = 0;  // rows stored
  std::size_t capacity_ = 0;
  Storage data_;
  const T* base_ = nullptr;  // data_, or the rows viewed
};

}  // namespace hobrin::ann
