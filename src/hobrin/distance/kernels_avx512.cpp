// The AVX-512 variant: eight stored vectors per register, one per lane, one
// group of eight at a time: more groups in flight measured no faster, as the
// shuffles, not the chain of additions, bound this loop. The kernels
// themselves are the shared body of kernels_lanes-inl.hpp; this file gives it
// the AVX-512 registers.
//
// Intrinsics and plain loops only: this file is compiled with -mavx512f.

// GCC 12's AVX-512 intrinsics start several results from a deliberately
// undefined register, which -Wmaybe-uninitialized reports inside its headers.
// Clang has no such warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "hobrin/distance/kernel_variants.hpp"

namespace hobrin::avx512_kernels {
namespace {

struct Isa {
  using Vec = __m512d;
  using Mask = __mmask8;  // bit j: lane j
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kGroups = 1;

  static Vec zero() { return _mm512_setzero_pd(); }
  static Vec broadcast(double x) { return _mm512_set1_pd(x); }
  static Vec load(const double* p) { return _mm512_loadu_pd(p); }
  static Vec load(const double* p, Mask mask) { return _mm512_maskz_loadu_pd(mask, p); }
  static void store(double* p, Vec v) { _mm512_storeu_pd(p, v); }
  static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
  static Vec div(Vec a, Vec b) { return _mm512_div_pd(a, b); }
  static Vec sqrt(Vec a) { return _mm512_sqrt_pd(a); }

  static Mask tail_mask(std::size_t used) { return static_cast<Mask>((1u << used) - 1u); }

  static void transpose(Vec t[kLanes]) {
    const Vec a0 = _mm512_unpacklo_pd(t[0], t[1]);
    const Vec a1 = _mm512_unpackhi_pd(t[0], t[1]);
    const Vec a2 = _mm512_unpacklo_pd(t[2], t[3]);
    const Vec a3 = _mm512_unpackhi_pd(t[2], t[3]);
    const Vec a4 = _mm512_unpacklo_pd(t[4], t[5]);
    const Vec a5 = _mm512_unpackhi_pd(t[4], t[5]);
    const Vec a6 = _mm512_unpacklo_pd(t[6], t[7]);
    const Vec a7 = _mm512_unpackhi_pd(t[6], t[7]);
    const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    const Vec b0 = _mm512_permutex2var_pd(a0, even, a2);  // positions 0, 4 of vectors 0-3
    const Vec b1 = _mm512_permutex2var_pd(a0, odd, a2);   // 2, 6
    const Vec b2 = _mm512_permutex2var_pd(a1, even, a3);  // 1, 5
    const Vec b3 = _mm512_permutex2var_pd(a1, odd, a3);   // 3, 7
    const Vec b4 = _mm512_permutex2var_pd(a4, even, a6);  // the same for vectors 4-7
    const Vec b5 = _mm512_permutex2var_pd(a4, odd, a6);
    const Vec b6 = _mm512_permutex2var_pd(a5, even, a7);
    const Vec b7 = _mm512_permutex2var_pd(a5, odd, a7);
    t[0] = _mm512_shuffle_f64x2(b0, b4, 0x44);
    t[4] = _mm512_shuffle_f64x2(b0, b4, 0xEE);
    t[2] = _mm512_shuffle_f64x2(b1, b5, 0x44);
    t[6] = _mm512_shuffle_f64x2(b1, b5, 0xEE);
    t[1] = _mm512_shuffle_f64x2(b2, b6, 0x44);
    t[5] = _mm512_shuffle_f64x2(b2, b6, 0xEE);
    t[3] = _mm512_shuffle_f64x2(b3, b7, 0x44);
    t[7] = _mm512_shuffle_f64x2(b3, b7, 0xEE);
  }
};

}  // namespace

#include "hobrin/distance/kernels_lanes-inl.hpp"

}  // namespace hobrin::avx512_kernels
