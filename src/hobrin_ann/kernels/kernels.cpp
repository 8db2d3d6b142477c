#include "hobrin_ann/kernels/kernels.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/cpu_features.hpp"

namespace hobrin::fast {

// Each variant's entry points, defined in its own file from the shared body.
#define HOBRIN_DECLARE_FAST_VARIANT(ns)                         \
  namespace ns {                                                \
  FastKernels<float> float_kernels(Measure measure) noexcept;   \
  FastKernels<double> double_kernels(Measure measure) noexcept; \
  }
HOBRIN_DECLARE_FAST_VARIANT(baseline)
#if defined(__x86_64__) || defined(__i386__)
#define HOBRIN_FAST_X86 1
HOBRIN_DECLARE_FAST_VARIANT(avx2)
HOBRIN_DECLARE_FAST_VARIANT(avx512)
#elif defined(__aarch64__)
#define HOBRIN_FAST_AARCH64 1
HOBRIN_DECLARE_FAST_VARIANT(neon)
#endif
#undef HOBRIN_DECLARE_FAST_VARIANT

namespace {

// The kernels of one level; the baseline for a level this build has no
// variant of (those of another architecture).
template <class T>
FastKernels<T> of_level(SimdLevel variant, Measure measure) noexcept {
  if constexpr (sizeof(T) == sizeof(float)) {
    switch (variant) {
#if defined(HOBRIN_FAST_X86)
      case SimdLevel::AVX512: return avx512::float_kernels(measure);
      case SimdLevel::AVX2: return avx2::float_kernels(measure);
#elif defined(HOBRIN_FAST_AARCH64)
      case SimdLevel::NEON: return neon::float_kernels(measure);
#endif
      default: break;
    }
    return baseline::float_kernels(measure);
  } else {
    switch (variant) {
#if defined(HOBRIN_FAST_X86)
      case SimdLevel::AVX512: return avx512::double_kernels(measure);
      case SimdLevel::AVX2: return avx2::double_kernels(measure);
#elif defined(HOBRIN_FAST_AARCH64)
      case SimdLevel::NEON: return neon::double_kernels(measure);
#endif
      default: break;
    }
    return baseline::double_kernels(measure);
  }
}

}  // namespace

template <class T>
FastKernels<T> fast_kernels(Measure measure) noexcept {
  // The same choice as the exact kernels: the widest variant the CPU runs
  // well (AVX2 on cores that split 512-bit operations in two).
  static const SimdLevel chosen = [] {
    if (const char* forced = std::getenv("HOBRIN_FAST_VARIANT_EXPERIMENT")) {
      // Only a level this CPU runs: anything else would stop the process.
      if (std::strcmp(forced, "avx512") == 0 && cpu_runs(SimdLevel::AVX512)) return SimdLevel::AVX512;
      if (std::strcmp(forced, "avx2") == 0 && cpu_runs(SimdLevel::AVX2)) return SimdLevel::AVX2;
    }
    return preferred_simd_level();
  }();
  return of_level<T>(chosen, measure);
}

template <class T>
FastKernels<T> fast_kernels(Measure measure, const char* variant) noexcept {
  for (SimdLevel v : {SimdLevel::Baseline, SimdLevel::AVX2, SimdLevel::AVX512, SimdLevel::NEON}) {
    FastKernels<T> found = of_level<T>(v, measure);
    if (std::strcmp(found.variant, variant) != 0) continue;
    if (!cpu_runs(v)) return {variant, nullptr, nullptr, nullptr};
    return found;
  }
  return {variant, nullptr, nullptr, nullptr};
}

template FastKernels<float> fast_kernels<float>(Measure) noexcept;
template FastKernels<double> fast_kernels<double>(Measure) noexcept;
template FastKernels<float> fast_kernels<float>(Measure, const char*) noexcept;
template FastKernels<double> fast_kernels<double>(Measure, const char*) noexcept;

}  // namespace hobrin::fast
