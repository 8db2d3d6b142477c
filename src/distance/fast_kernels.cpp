#include "distance/fast_kernels.hpp"

#include <cstdlib>
#include <cstring>

#include "distance/kernels.hpp"

namespace hobrin::fast {

// Each variant's entry points, defined in its own file from the shared body.
#define HOBRIN_DECLARE_FAST_VARIANT(ns)                         \
  namespace ns {                                                \
  FastKernels<float> float_kernels(Measure measure) noexcept;   \
  FastKernels<double> double_kernels(Measure measure) noexcept; \
  }
HOBRIN_DECLARE_FAST_VARIANT(baseline)
HOBRIN_DECLARE_FAST_VARIANT(avx2)
HOBRIN_DECLARE_FAST_VARIANT(avx512)
#undef HOBRIN_DECLARE_FAST_VARIANT

namespace {

template <class T>
FastKernels<T> of_variant(KernelVariant variant, Measure measure) noexcept {
  if constexpr (sizeof(T) == sizeof(float)) {
    switch (variant) {
      case KernelVariant::AVX512: return avx512::float_kernels(measure);
      case KernelVariant::AVX2: return avx2::float_kernels(measure);
      case KernelVariant::Scalar: break;
    }
    return baseline::float_kernels(measure);
  } else {
    switch (variant) {
      case KernelVariant::AVX512: return avx512::double_kernels(measure);
      case KernelVariant::AVX2: return avx2::double_kernels(measure);
      case KernelVariant::Scalar: break;
    }
    return baseline::double_kernels(measure);
  }
}

}  // namespace

template <class T>
FastKernels<T> fast_kernels(Measure measure) noexcept {
  // The same choice as the exact kernels: the widest variant the CPU runs
  // well (AVX2 on cores that split 512-bit operations in two).
  static const KernelVariant chosen = [] {
    if (const char* forced = std::getenv("HOBRIN_FAST_VARIANT_EXPERIMENT")) {
      if (std::strcmp(forced, "avx512") == 0) return KernelVariant::AVX512;
      if (std::strcmp(forced, "avx2") == 0) return KernelVariant::AVX2;
    }
    return active_variant();
  }();
  return of_variant<T>(chosen, measure);
}

template <class T>
FastKernels<T> fast_kernels(Measure measure, const char* variant) noexcept {
  for (KernelVariant v : {KernelVariant::Scalar, KernelVariant::AVX2, KernelVariant::AVX512}) {
    FastKernels<T> found = of_variant<T>(v, measure);
    if (std::strcmp(found.variant, variant) != 0) continue;
    if (kernel_set(v) == nullptr) return {variant, nullptr, nullptr};
    return found;
  }
  return {variant, nullptr, nullptr};
}

template FastKernels<float> fast_kernels<float>(Measure) noexcept;
template FastKernels<double> fast_kernels<double>(Measure) noexcept;
template FastKernels<float> fast_kernels<float>(Measure, const char*) noexcept;
template FastKernels<double> fast_kernels<double>(Measure, const char*) noexcept;

}  // namespace hobrin::fast
