// The AVX2 variant: four stored vectors per register, one per lane, and four
// groups of four side by side. The kernels themselves are the shared body of
// kernels_lanes-inl.hpp; this file gives it the AVX2 registers.
//
// Intrinsics and plain loops only: this file is compiled with -mavx2.
#include <immintrin.h>

#include "hobrin/distance/kernel_variants.hpp"

namespace hobrin::avx2_kernels {
namespace {

struct Isa {
  using Vec = __m256d;
  using Mask = __m256i;  // each lane's 64 bits all set or all clear
  static constexpr std::size_t kLanes = 4;
  static constexpr std::size_t kGroups = 4;

  static Vec zero() { return _mm256_setzero_pd(); }
  static Vec broadcast(double x) { return _mm256_set1_pd(x); }
  static Vec load(const double* p) { return _mm256_loadu_pd(p); }
  static Vec load(const double* p, Mask mask) { return _mm256_maskload_pd(p, mask); }
  static void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
  static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  static Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
  static Vec sqrt(Vec a) { return _mm256_sqrt_pd(a); }

  static Mask tail_mask(std::size_t used) {
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(used)), lane);
  }

  static void transpose(Vec t[kLanes]) {
    const Vec a0 = _mm256_unpacklo_pd(t[0], t[1]);  // positions 0, 2 of vectors 0, 1
    const Vec a1 = _mm256_unpackhi_pd(t[0], t[1]);  // 1, 3
    const Vec a2 = _mm256_unpacklo_pd(t[2], t[3]);  // 0, 2 of vectors 2, 3
    const Vec a3 = _mm256_unpackhi_pd(t[2], t[3]);  // 1, 3
    t[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
    t[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
    t[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
    t[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
  }
};

}  // namespace

#include "hobrin/distance/kernels_lanes-inl.hpp"

}  // namespace hobrin::avx2_kernels
