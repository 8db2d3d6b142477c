#pragma once
// Batch forms of the three metrics: one query scored against many stored
// vectors of one length. Every result equals the pairwise function of
// metrics.hpp bit for bit. The SIMD variants put one stored vector in each
// lane, so each lane runs the same single accumulator in index order; the
// variant in use is chosen once per process from what the CPU supports.
#include <cstddef>

#include "common/cpu_features.hpp"
#include "hobrin/distance/kernel_variants.hpp"
#include "hobrin/distance/metrics.hpp"

namespace hobrin {

// One variant per instruction-set level of the CPU features, with its value.
// Only those of the target architecture are built; kernel_set() gives
// nullptr for the others.
enum class KernelVariant {
  Scalar = static_cast<int>(SimdLevel::Baseline),
  AVX2 = static_cast<int>(SimdLevel::AVX2),
  AVX512 = static_cast<int>(SimdLevel::AVX512),
  NEON = static_cast<int>(SimdLevel::NEON),
};

// The variant's kernels, or nullptr when this CPU cannot run them.
const KernelSet* kernel_set(KernelVariant variant) noexcept;

// The variant every index uses: the widest the CPU runs well, or the scalar
// one in a build configured with HOBRIN_FORCE_SCALAR. Chosen on first use.
KernelVariant active_variant() noexcept;
// The kernels of that variant.
const KernelSet& active_kernels() noexcept;

// One query ready to be scored with one metric against stored vectors of
// `dim` values. A metric other than the three, or a query of another length,
// is scored pair by pair with the metric function itself.
class BatchScorer {
 public:
  BatchScorer(Metric metric, VectorView query, std::size_t dim,
              const KernelSet& kernels = active_kernels()) noexcept;

  // out[i] = metric(query, rows[i]) for i below count.
  void score(const double* const* rows, std::size_t count, double* out) const noexcept;

  // How many stored vectors a score reads side by side: 1 when it reads one
  // vector after the other. Neighbouring vectors read in step stream from
  // memory at about half speed, so callers that can choose the order spread
  // them when this is above 1, and keep them in order otherwise.
  std::size_t in_step() const noexcept { return in_step_; }

 private:
  Metric metric_;
  BatchKernel kernel_ = nullptr;      // nullptr: pair by pair with metric_
  VectorView query_;
  std::size_t dim_;
  std::size_t in_step_ = 1;
  double query_sum_of_squares_ = 0.0;  // read by the cosine kernel only
};

}  // namespace hobrin
