#include "hobrin_ann/kernels/fastscan.hpp"

#include <cstring>
#include <initializer_list>

#include "common/cpu_features.hpp"
#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast {

// Each variant's entry point, defined in its file from the shared body.
namespace baseline {
FastScanKernels fastscan_kernels() noexcept;
}
#if defined(__x86_64__) || defined(__i386__)
#define HOBRIN_FASTSCAN_X86 1
namespace avx2 {
FastScanKernels fastscan_kernels() noexcept;
}
namespace avx512 {
FastScanKernels fastscan_kernels() noexcept;
}
#elif defined(__aarch64__)
#define HOBRIN_FASTSCAN_AARCH64 1
namespace neon {
FastScanKernels fastscan_kernels() noexcept;
}
#endif

namespace {

FastScanKernels of_level(SimdLevel level) noexcept {
  switch (level) {
#if defined(HOBRIN_FASTSCAN_X86)
    case SimdLevel::AVX512: return avx512::fastscan_kernels();
    case SimdLevel::AVX2: return avx2::fastscan_kernels();
#elif defined(HOBRIN_FASTSCAN_AARCH64)
    case SimdLevel::NEON: return neon::fastscan_kernels();
#endif
    default: break;
  }
  return baseline::fastscan_kernels();
}

// Whether the CPU runs a level's scan: the AVX-512 one also needs the byte
// and word instructions (BW), which the AVX-512 level of the float kernels
// does not ask for.
bool runs(SimdLevel level) noexcept {
  if (!cpu_runs(level)) return false;
#if defined(HOBRIN_FASTSCAN_X86)
  if (level == SimdLevel::AVX512) return __builtin_cpu_supports("avx512bw") != 0;
#endif
  return true;
}

}  // namespace

FastScanKernels fastscan_kernels() noexcept {
  static const FastScanKernels chosen = [] {
    const FastScanKernels same = fastscan_kernels(fast_kernels<float>(Measure::SquaredEuclidean).variant);
    return same.sums != nullptr ? same : fastscan_kernels(cpu_runs(SimdLevel::AVX2) ? "avx2" : "baseline");
  }();
  return chosen;
}

FastScanKernels fastscan_kernels(const char* variant) noexcept {
  for (SimdLevel v : {SimdLevel::Baseline, SimdLevel::AVX2, SimdLevel::AVX512, SimdLevel::NEON}) {
    const FastScanKernels found = of_level(v);
    if (std::strcmp(found.variant, variant) != 0) continue;
    if (!runs(v)) break;
    return found;
  }
  return {variant, nullptr, nullptr, nullptr};
}

}  // namespace hobrin::fast
