#pragma once
// The per-row scalars of codes scaled per row (kernels/row_codes.hpp), one
// 16-byte record per row beside the rows of codes: owned, or a view of
// records that lie elsewhere (a mapped file), which is read-only until the
// next reserve copies it.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "common/growth.hpp"
#include "hobrin_ann/kernels/row_codes.hpp"

namespace hobrin::ann {

class RowScalarArray {
 public:
  using Record = fast::RowScalars;

  std::size_t size() const noexcept { return size_; }
  const Record* data() const noexcept { return base_; }
  const Record& operator[](std::uint32_t node) const noexcept { return base_[node]; }
  std::size_t bytes() const noexcept { return capacity_ * sizeof(Record); }

  // Uses `count` records at `records` in place of any owned ones; they must outlive this.
  void view(const Record* records, std::size_t count) noexcept {
    data_.reset();
    capacity_ = 0;
    base_ = records;
    size_ = count;
  }
  // Room for `needed` records in all; throws std::bad_alloc and keeps the contents.
  // With `exact`, the room is `needed` records and no more.
  void reserve(std::size_t needed, bool exact = false) {
    if (needed <= capacity_) return;
    const std::size_t records = exact ? needed : grown_capacity(capacity_, needed);
    if (records > SIZE_MAX / sizeof(Record)) throw std::bad_alloc();
    std::unique_ptr<Record[]> grown(new Record[std::max<std::size_t>(records, 1)]);
    if (size_ != 0) std::memcpy(grown.get(), base_, size_ * sizeof(Record));
    data_ = std::move(grown);
    base_ = data_.get();
    capacity_ = records;
  }
  // Appends within the reserved room.
  void append(const Record& record) noexcept {
    data_[size_] = record;
    ++size_;
  }
  // Overwrites the record of a row already held (an owned array: a mapped
  // index takes no changes).
  void set(std::uint32_t node, const Record& record) noexcept { data_[node] = record; }
  void truncate(std::size_t records) noexcept { size_ = std::min(size_, records); }

 private:
  std::unique_ptr<Record[]> data_;
  const Record* base_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace hobrin::ann
