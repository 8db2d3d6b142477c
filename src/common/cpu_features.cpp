#include "common/cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define HOBRIN_CPU_X86 1
#elif defined(__aarch64__)
#define HOBRIN_CPU_AARCH64 1
#endif

namespace hobrin {
namespace {

SimdLevel choose() noexcept {
#if defined(HOBRIN_FORCE_SCALAR) && HOBRIN_FORCE_SCALAR
  return SimdLevel::Baseline;
#elif defined(HOBRIN_CPU_X86)
  __builtin_cpu_init();
  // AMD family 19h cores run each 512-bit operation as two 256-bit halves,
  // so the AVX-512 variants only add shuffle work there: the AVX2 variants
  // measured about a fifth faster on them.
  const bool split_512 = __builtin_cpu_is("amdfam19h");
  if (cpu_runs(SimdLevel::AVX512) && !split_512) return SimdLevel::AVX512;
  if (cpu_runs(SimdLevel::AVX2)) return SimdLevel::AVX2;
  return SimdLevel::Baseline;
#elif defined(HOBRIN_CPU_AARCH64)
  return SimdLevel::NEON;
#else
  return SimdLevel::Baseline;
#endif
}

}  // namespace

bool cpu_runs(SimdLevel level) noexcept {
#if defined(HOBRIN_CPU_X86)
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::Baseline: return true;
    case SimdLevel::AVX2: return __builtin_cpu_supports("avx2");
    case SimdLevel::AVX512: return __builtin_cpu_supports("avx512f");
    case SimdLevel::NEON: return false;
  }
  return false;
#elif defined(HOBRIN_CPU_AARCH64)
  // Advanced SIMD is part of the aarch64 base architecture.
  return level == SimdLevel::Baseline || level == SimdLevel::NEON;
#else
  return level == SimdLevel::Baseline;
#endif
}

SimdLevel preferred_simd_level() noexcept {
  static const SimdLevel chosen = choose();
  return chosen;
}

}  // namespace hobrin
