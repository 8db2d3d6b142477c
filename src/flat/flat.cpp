#include "flat.hpp"

#include <algorithm>

namespace hobrin {

std::string_view to_string(FlatError error) noexcept {
  switch (error) {
    case FlatError::EmptyIndex: return "EmptyIndex";
    case FlatError::EmptyVectors: return "EmptyVectors";
    case FlatError::DimensionMismatch: return "DimensionMismatch";
  }
  return "FlatError";
}

std::expected<void, FlatError> Flat::insert(VectorView vector) {
  if (vector.size() != dim_) return std::unexpected(FlatError::DimensionMismatch);
  // Growing first keeps the array as it was if memory runs out.
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  return {};
}

std::expected<void, FlatError> Flat::create(std::span<const std::vector<double>> vectors) {
  if (vectors.empty()) return std::unexpected(FlatError::EmptyVectors);
  const auto well_formed = static_cast<std::size_t>(std::ranges::find_if(vectors, [this](const auto& v) {
                                                      return v.size() != dim_;
                                                    }) - vectors.begin());
  vectors_.reserve(vectors_.size() + well_formed * dim_);
  for (const auto& vector : vectors) {
    if (auto inserted = insert(vector); !inserted) return inserted;
  }
  return {};
}

std::expected<std::vector<Candidate>, FlatError> Flat::search(VectorView query, std::uint64_t k) const {
  const std::size_t n = size();
  if (n == 0) return std::unexpected(FlatError::EmptyIndex);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(k, 1), n));

  // A max-heap of the best `keep` so far: its top is the worst of them.
  std::vector<Candidate> best;
  best.reserve(keep);
  for (std::size_t i = 0; i < n; ++i) {
    const Candidate candidate{distance_(query, vector(i)), i};
    if (best.size() < keep) {
      best.push_back(candidate);
      std::ranges::push_heap(best, ranks_before);
    } else if (ranks_before(candidate, best.front())) {
      std::ranges::pop_heap(best, ranks_before);
      best.back() = candidate;
      std::ranges::push_heap(best, ranks_before);
    }
  }
  std::ranges::sort_heap(best, ranks_before);
  return best;
}

}  // namespace hobrin
