#pragma once
// The exact index: every vector in one contiguous array, a query scored against
// all of them, the k nearest returned in the shared candidate order.
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "common/vector_list.hpp"
#include "hobrin/distance/candidate.hpp"
#include "hobrin/distance/metrics.hpp"

namespace hobrin {

enum class FlatError { EmptyIndex, EmptyVectors, DimensionMismatch };
std::string_view to_string(FlatError error) noexcept;

class Flat {
 public:
  Flat(std::uint64_t dim, Metric distance) : distance_(distance), dim_(dim) {}

  // Appends one vector of exactly `dim` values.
  std::expected<void, FlatError> insert(VectorView vector);
  // Appends each vector in order; the first of another length stops the run
  // and the ones before it stay.
  std::expected<void, FlatError> create(const VectorList& vectors);
  // The k nearest (k 0 counts as 1), nearest first; never more than stored.
  std::expected<std::vector<Candidate>, FlatError> search(VectorView query, std::uint64_t k) const;

  std::uint64_t dim() const noexcept { return dim_; }
  std::size_t size() const noexcept { return dim_ == 0 ? 0 : vectors_.size() / dim_; }
  VectorView vector(NodeId id) const noexcept { return VectorView(vectors_).subspan(id * dim_, dim_); }

 private:
  std::vector<double> vectors_;  // node i's values start at i * dim
  Metric distance_;              // chosen at construction, never changed
  std::uint64_t dim_;            // 0 allowed: nothing is ever stored then
};

}  // namespace hobrin
