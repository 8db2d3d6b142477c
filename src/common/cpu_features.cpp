#include "common/cpu_features.hpp"

namespace hobrin {
namespace {

SimdLevel choose() noexcept {
#if defined(HOBRIN_FORCE_SCALAR) && HOBRIN_FORCE_SCALAR
  return SimdLevel::Baseline;
#else
  __builtin_cpu_init();
  // AMD family 19h cores run each 512-bit operation as two 256-bit halves,
  // so the AVX-512 variants only add shuffle work there: the AVX2 variants
  // measured about a fifth faster on them.
  const bool split_512 = __builtin_cpu_is("amdfam19h");
  if (cpu_runs(SimdLevel::AVX512) && !split_512) return SimdLevel::AVX512;
  if (cpu_runs(SimdLevel::AVX2)) return SimdLevel::AVX2;
  return SimdLevel::Baseline;
#endif
}

}  // namespace

bool cpu_runs(SimdLevel level) noexcept {
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::Baseline: return true;
    case SimdLevel::AVX2: return __builtin_cpu_supports("avx2");
    case SimdLevel::AVX512: return __builtin_cpu_supports("avx512f");
  }
  return false;
}

SimdLevel preferred_simd_level() noexcept {
  static const SimdLevel chosen = choose();
  return chosen;
}

}  // namespace hobrin
