#include "distance/kernels.hpp"

namespace hobrin {
namespace {

constexpr KernelSet kScalar{"scalar", 1, scalar_kernels::euclidean, scalar_kernels::dot,
                            scalar_kernels::cosine};
constexpr KernelSet kAVX2{"avx2", 16, avx2_kernels::euclidean, avx2_kernels::dot, avx2_kernels::cosine};
constexpr KernelSet kAVX512{"avx512", 8, avx512_kernels::euclidean, avx512_kernels::dot,
                            avx512_kernels::cosine};

// The CPU test also checks that the operating system saves the wide registers.
bool cpu_runs(KernelVariant variant) noexcept {
  switch (variant) {
    case KernelVariant::Scalar: return true;
    case KernelVariant::AVX2: return __builtin_cpu_supports("avx2");
    case KernelVariant::AVX512: return __builtin_cpu_supports("avx512f");
  }
  return false;
}

KernelVariant choose() noexcept {
#if defined(HOBRIN_FORCE_SCALAR) && HOBRIN_FORCE_SCALAR
  return KernelVariant::Scalar;
#else
  __builtin_cpu_init();
  // AMD family 19h cores run each 512-bit operation as two 256-bit halves,
  // so the AVX-512 variant only adds shuffle work there: the AVX2 variant
  // measured about a fifth faster on them.
  const bool split_512 = __builtin_cpu_is("amdfam19h");
  if (cpu_runs(KernelVariant::AVX512) && !split_512) return KernelVariant::AVX512;
  if (cpu_runs(KernelVariant::AVX2)) return KernelVariant::AVX2;
  return KernelVariant::Scalar;
#endif
}

}  // namespace

const KernelSet* kernel_set(KernelVariant variant) noexcept {
  __builtin_cpu_init();
  if (!cpu_runs(variant)) return nullptr;
  switch (variant) {
    case KernelVariant::Scalar: return &kScalar;
    case KernelVariant::AVX2: return &kAVX2;
    case KernelVariant::AVX512: return &kAVX512;
  }
  return nullptr;
}

KernelVariant active_variant() noexcept {
  static const KernelVariant chosen = choose();
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
