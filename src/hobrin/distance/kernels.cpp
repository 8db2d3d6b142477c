#include "hobrin/distance/kernels.hpp"

namespace hobrin {
namespace {

constexpr KernelSet kScalar{"scalar", 1, scalar_kernels::euclidean, scalar_kernels::dot,
                            scalar_kernels::cosine};
#if defined(__x86_64__) || defined(__i386__)
constexpr KernelSet kAVX2{"avx2", 16, avx2_kernels::euclidean, avx2_kernels::dot, avx2_kernels::cosine};
constexpr KernelSet kAVX512{"avx512", 8, avx512_kernels::euclidean, avx512_kernels::dot,
                            avx512_kernels::cosine};
#elif defined(__aarch64__)
constexpr KernelSet kNEON{"neon", 8, neon_kernels::euclidean, neon_kernels::dot, neon_kernels::cosine};
#endif

}  // namespace

const KernelSet* kernel_set(KernelVariant variant) noexcept {
  if (!cpu_runs(static_cast<SimdLevel>(variant))) return nullptr;
  switch (variant) {
    case KernelVariant::Scalar: return &kScalar;
#if defined(__x86_64__) || defined(__i386__)
    case KernelVariant::AVX2: return &kAVX2;
    case KernelVariant::AVX512: return &kAVX512;
#elif defined(__aarch64__)
    case KernelVariant::NEON: return &kNEON;
#endif
    default: break;
  }
  return nullptr;
}

KernelVariant active_variant() noexcept {
  static const auto chosen = static_cast<KernelVariant>(preferred_simd_level());
  return chosen;
}

const KernelSet& active_kernels() noexcept {
  static const KernelSet& chosen = *kernel_set(active_variant());
  return chosen;
}

BatchScorer::BatchScorer(Metric metric, VectorView query, std::size_t dim, const KernelSet& kernels) noexcept
    : metric_(metric), query_(query), dim_(dim) {
  if (query.size() != dim) return;
  in_step_ = kernels.in_step;
  if (metric == euclidean_distance) {
    kernel_ = kernels.euclidean;
  } else if (metric == dot_product) {
    kernel_ = kernels.dot;
  } else if (metric == cosine_similarity) {
    kernel_ = kernels.cosine;
    query_sum_of_squares_ = sum_of_squares(query);
  } else {
    in_step_ = 1;
  }
}

void BatchScorer::score(const double* const* rows, std::size_t count, double* out) const noexcept {
  if (kernel_ != nullptr) {
    kernel_(query_.data(), query_sum_of_squares_, rows, dim_, count, out);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = metric_(query_, VectorView(rows[i], dim_));
}

}  // namespace hobrin
