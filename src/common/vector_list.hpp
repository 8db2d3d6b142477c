#pragma once
// A list of vectors handed to a bulk insertion: either rows of any lengths
// stored back to back in one array, or equal rows viewed in place in a block
// that the caller keeps alive (an array passed in from Python, read without a
// copy).
#include <cstddef>
#include <span>
#include <vector>

namespace hobrin {

class VectorList {
 public:
  VectorList() = default;
  // A copy of `rows`, built row by row.
  explicit VectorList(std::span<const std::vector<double>> rows) {
    reserve_rows(rows.size());
    for (const auto& row : rows) {
      values_.insert(values_.end(), row.begin(), row.end());
      close_row();
    }
  }

  // `count` rows of `dim` values, row i starting at data + i * dim.
  static VectorList view(const double* data, std::size_t count, std::size_t dim) {
    VectorList list;
    list.viewed_ = true;
    list.view_ = data;
    list.count_ = count;
    list.dim_ = dim;
    return list;
  }

  // Building row by row: append a row's values, then close it.
  void push_value(double value) { values_.push_back(value); }
  void close_row() { ends_.push_back(values_.size()); }
  void reserve_rows(std::size_t rows) { ends_.reserve(rows); }

  std::size_t size() const noexcept { return viewed_ ? count_ : ends_.size(); }
  bool empty() const noexcept { return size() == 0; }
  std::span<const double> operator[](std::size_t i) const noexcept {
    if (viewed_) return {view_ + i * dim_, dim_};
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {values_.data() + begin, ends_[i] - begin};
  }

 private:
  std::vector<double> values_;     // the rows back to back, when built here
  std::vector<std::size_t> ends_;  // where each built row ends in values_
  bool viewed_ = false;            // rows are viewed in place, not built here
  const double* view_ = nullptr;   // the viewed block
  std::size_t count_ = 0;          // rows of the viewed block
  std::size_t dim_ = 0;            // values per row of the viewed block
};

}  // namespace hobrin
