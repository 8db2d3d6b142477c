#include "flat/flat.hpp"

#include <algorithm>

#include "distance/kernels.hpp"

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
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(k, 1), n));

  // A max-heap of the best `keep` so far: its top is the worst of them. What
  // it ends with does not depend on the order in which vectors are offered,
  // since candidates are totally ordered (distance, then id).
  std::vector<Candidate> best;
  best.reserve(keep);
  const BatchScorer scorer(distance_, query, dim_);
  std::size_t ids[kBatch];
  const double* rows[kBatch];
  double distances[kBatch];
  const auto score_and_select = [&](std::size_t count) {
    scorer.score(rows, count, distances);
    for (std::size_t j = 0; j < count; ++j) {
      const Candidate candidate{distances[j], ids[j]};
      if (best.size() < keep) {
        best.push_back(candidate);
        std::ranges::push_heap(best, ranks_before);
      } else if (ranks_before(candidate, best.front())) {
        std::ranges::pop_heap(best, ranks_before);
        best.back() = candidate;
        std::ranges::push_heap(best, ranks_before);
      }
    }
  };
  // A kernel that reads several vectors in step gets the array cut into as
  // many equal runs, read side by side, one vector of each run after the
  // other: the memory system streams far-apart runs at full speed but
  // neighbouring vectors read in step at about half of it. A kernel that reads
  // one vector after the other streams fastest in id order.
  const std::size_t streams = std::min(scorer.in_step(), kBatch);
  const std::size_t run = streams > 1 ? n / streams : 0;
  const std::size_t steps_per_batch = kBatch / streams;
  for (std::size_t step = 0; step < run; step += steps_per_batch) {
    const std::size_t steps = std::min(steps_per_batch, run - step);
    std::size_t count = 0;
    for (std::size_t s = step; s < step + steps; ++s) {
      for (std::size_t r = 0; r < streams; ++r, ++count) {
        ids[count] = r * run + s;
        rows[count] = vectors_.data() + ids[count] * dim_;
      }
    }
    score_and_select(count);
  }
  // What the runs leave over, in id order.
  for (std::size_t first = streams * run; first < n; first += kBatch) {
    const std::size_t count = std::min(kBatch, n - first);
    for (std::size_t j = 0; j < count; ++j) {
      ids[j] = first + j;
      rows[j] = vectors_.data() + ids[j] * dim_;
    }
    score_and_select(count);
  }
  std::ranges::sort_heap(best, ranks_before);
  return best;
}

}  // namespace hobrin
