#include "flat.hpp"

#include <algorithm>

#include "kernels.hpp"

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

std::expected<void, FlatError> Flat::create(const VectorList& vectors) {
  if (vectors.empty()) return std::unexpected(FlatError::EmptyVectors);
  std::size_t well_formed = 0;
  while (well_formed < vectors.size() && vectors[well_formed].size() == dim_) ++well_formed;
  vectors_.reserve(vectors_.size() + well_formed * dim_);
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (auto inserted = insert(vectors[i]); !inserted) return inserted;
  }
  return {};
}

std::expected<std::vector<Candidate>, FlatError> Flat::search(VectorView query, std::uint64_t k) const {
  const std::size_t n = size();
  if (n == 0) return std::unexpected(FlatError::EmptyIndex);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(k, 1), n));

  // A max-heap of the best `keep` so far: its top is the worst of them. The
  // array is scored a block of vectors at a time, in id order.
  constexpr std::size_t kBlock = 128;
  const BatchScorer scorer(distance_, query, dim_);
  const double* rows[kBlock];
  double distances[kBlock];
  std::vector<Candidate> best;
  best.reserve(keep);
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    for (std::size_t j = 0; j < count; ++j) rows[j] = vectors_.data() + (first + j) * dim_;
    scorer.score(rows, count, distances);
    for (std::size_t j = 0; j < count; ++j) {
      const Candidate candidate{distances[j], first + j};
      if (best.size() < keep) {
        best.push_back(candidate);
        std::ranges::push_heap(best, ranks_before);
      } else if (ranks_before(candidate, best.front())) {
        std::ranges::pop_heap(best, ranks_before);
        best.back() = candidate;
        std::ranges::push_heap(best, ranks_before);
      }
    }
  }
  std::ranges::sort_heap(best, ranks_before);
  return best;
}

}  // namespace hobrin
