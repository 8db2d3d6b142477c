#include "hobrin/flat/flat.hpp"

#include <algorithm>

#include "hobrin/distance/kernels.hpp"
#include "hobrin/distance/spread_runs.hpp"

namespace hobrin {
namespace {

// Exact search scores at most kBatch vectors per call of the kernels.
constexpr std::size_t kBatch = 128;

}  // namespace

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
  const std::size_t keep =
      static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(k, 1), n));

  // A max-heap of the best `keep` so far: its top is the worst of them. What
  // it ends with does not depend on the order in which vectors are offered,
  // since candidates are totally ordered (distance, then id).
  std::vector<Candidate> best;
  best.reserve(keep);
  const BatchScorer scorer(distance_, query, dim_);
  const auto offer = [&](std::size_t id, double distance) {
    const Candidate candidate{distance, id};
    if (best.size() < keep) {
      best.push_back(candidate);
      std::ranges::push_heap(best, ranks_before);
    } else if (ranks_before(candidate, best.front())) {
      std::ranges::pop_heap(best, ranks_before);
      best.back() = candidate;
      std::ranges::push_heap(best, ranks_before);
    }
  };
  // A kernel that reads several vectors in step gets the array cut into as
  // many runs, read side by side; one that reads one vector after the other
  // streams fastest in id order, a single run.
  const double* rows[kBatch];
  double distances[kBatch];
  score_side_by_side(
      scorer, n, std::min(scorer.in_step(), kBatch),
      [&](std::size_t id) { return vectors_.data() + id * dim_; }, offer, rows, distances, kBatch);
  std::ranges::sort_heap(best, ranks_before);
  return best;
}

}  // namespace hobrin
