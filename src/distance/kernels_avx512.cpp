// The AVX-512 variant: eight stored vectors per register, one per lane.
//
// A block of eight values is loaded from each of eight stored vectors, the
// element-wise terms (differences squared, or products) are formed in that
// layout, and an 8 x 8 transpose turns them into eight registers that each hold
// one position of all eight vectors. Adding those registers in position order
// to one accumulator register is, lane by lane, the scalar loop: one running
// sum from +0.0 in index order, each product and sum rounded on its own. The
// last dim % 8 positions are loaded under a mask and only their terms are
// added. (More groups of eight in flight measured no faster: the shuffles,
// not the chain of additions, bound this loop.)
//
// Intrinsics and plain loops only: this file is compiled with -mavx512f.

// GCC 12's AVX-512 intrinsics start several results from a deliberately
// undefined register, which -Wmaybe-uninitialized reports inside its headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "distance/kernel_variants.hpp"

namespace hobrin::avx512_kernels {
namespace {

constexpr std::size_t kLanes = 8;

enum class Kind { Euclidean, Dot, Cosine };

// t[k] lane j becomes the old t[j] lane k.
inline void transpose(__m512d t[8]) {
  const __m512d a0 = _mm512_unpacklo_pd(t[0], t[1]);
  const __m512d a1 = _mm512_unpackhi_pd(t[0], t[1]);
  const __m512d a2 = _mm512_unpacklo_pd(t[2], t[3]);
  const __m512d a3 = _mm512_unpackhi_pd(t[2], t[3]);
  const __m512d a4 = _mm512_unpacklo_pd(t[4], t[5]);
  const __m512d a5 = _mm512_unpackhi_pd(t[4], t[5]);
  const __m512d a6 = _mm512_unpacklo_pd(t[6], t[7]);
  const __m512d a7 = _mm512_unpackhi_pd(t[6], t[7]);
  const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  const __m512d b0 = _mm512_permutex2var_pd(a0, even, a2);  // positions 0, 4 of vectors 0-3
  const __m512d b1 = _mm512_permutex2var_pd(a0, odd, a2);   // 2, 6
  const __m512d b2 = _mm512_permutex2var_pd(a1, even, a3);  // 1, 5
  const __m512d b3 = _mm512_permutex2var_pd(a1, odd, a3);   // 3, 7
  const __m512d b4 = _mm512_permutex2var_pd(a4, even, a6);  // the same for vectors 4-7
  const __m512d b5 = _mm512_permutex2var_pd(a4, odd, a6);
  const __m512d b6 = _mm512_permutex2var_pd(a5, even, a7);
  const __m512d b7 = _mm512_permutex2var_pd(a5, odd, a7);
  t[0] = _mm512_shuffle_f64x2(b0, b4, 0x44);
  t[4] = _mm512_shuffle_f64x2(b0, b4, 0xEE);
  t[2] = _mm512_shuffle_f64x2(b1, b5, 0x44);
  t[6] = _mm512_shuffle_f64x2(b1, b5, 0xEE);
  t[1] = _mm512_shuffle_f64x2(b2, b6, 0x44);
  t[5] = _mm512_shuffle_f64x2(b2, b6, 0xEE);
  t[3] = _mm512_shuffle_f64x2(b3, b7, 0x44);
  t[7] = _mm512_shuffle_f64x2(b3, b7, 0xEE);
}

// Adds the terms of `used` positions of one block to the group's sums: the
// difference squared (Euclidean) or the product with the query (dot, cosine),
// and for cosine the vector's own square into the second sum.
template <Kind kind>
inline void add_block(__m512d q, const double* const* rows, std::size_t at, __mmask8 mask,
                      std::size_t used, __m512d& sum, __m512d& squares) {
  __m512d t[kLanes];
  __m512d s[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    const __m512d r = _mm512_maskz_loadu_pd(mask, rows[j] + at);
    if constexpr (kind == Kind::Euclidean) {
      const __m512d d = _mm512_sub_pd(q, r);
      t[j] = _mm512_mul_pd(d, d);
    } else {
      t[j] = _mm512_mul_pd(q, r);
    }
    if constexpr (kind == Kind::Cosine) s[j] = _mm512_mul_pd(r, r);
  }
  transpose(t);
  for (std::size_t k = 0; k < used; ++k) sum = _mm512_add_pd(sum, t[k]);
  if constexpr (kind == Kind::Cosine) {
    transpose(s);
    for (std::size_t k = 0; k < used; ++k) squares = _mm512_add_pd(squares, s[k]);
  }
}

// Scores the eight vectors rows[0 .. 7].
template <Kind kind>
inline void score_eight(const double* query, double query_sum_of_squares,
                        const double* const* rows, std::size_t dim, double* out) {
  __m512d sum = _mm512_setzero_pd();
  __m512d squares = _mm512_setzero_pd();
  std::size_t at = 0;
  for (; at + kLanes <= dim; at += kLanes) {
    add_block<kind>(_mm512_loadu_pd(query + at), rows, at, 0xFF, kLanes, sum, squares);
  }
  if (at < dim) {
    const std::size_t used = dim - at;
    const __mmask8 mask = static_cast<__mmask8>((1u << used) - 1u);
    add_block<kind>(_mm512_maskz_loadu_pd(mask, query + at), rows, at, mask, used, sum, squares);
  }
  __m512d result;
  if constexpr (kind == Kind::Euclidean) {
    result = _mm512_sqrt_pd(sum);
  } else if constexpr (kind == Kind::Dot) {
    result = sum;
  } else {
    const __m512d query_norm = _mm512_sqrt_pd(_mm512_set1_pd(query_sum_of_squares));
    result = _mm512_div_pd(sum, _mm512_mul_pd(query_norm, _mm512_sqrt_pd(squares)));
  }
  _mm512_storeu_pd(out, result);
}

template <Kind kind>
void score_all(const double* query, double query_sum_of_squares, const double* const* rows,
               std::size_t dim, std::size_t count, double* out) {
  std::size_t done = 0;
  for (; done + kLanes <= count; done += kLanes) {
    score_eight<kind>(query, query_sum_of_squares, rows + done, dim, out + done);
  }
  if (done < count) {
    // The unused lanes score the first vector again and are discarded.
    const std::size_t left = count - done;
    const double* padded[kLanes];
    double scores[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) padded[j] = rows[done + (j < left ? j : 0)];
    score_eight<kind>(query, query_sum_of_squares, padded, dim, scores);
    for (std::size_t j = 0; j < left; ++j) out[done + j] = scores[j];
  }
}

}  // namespace

void euclidean(const double* query, double query_sum_of_squares, const double* const* rows,
               std::size_t dim, std::size_t count, double* out) noexcept {
  score_all<Kind::Euclidean>(query, query_sum_of_squares, rows, dim, count, out);
}

void dot(const double* query, double query_sum_of_squares, const double* const* rows,
         std::size_t dim, std::size_t count, double* out) noexcept {
  score_all<Kind::Dot>(query, query_sum_of_squares, rows, dim, count, out);
}

void cosine(const double* query, double query_sum_of_squares, const double* const* rows,
            std::size_t dim, std::size_t count, double* out) noexcept {
  score_all<Kind::Cosine>(query, query_sum_of_squares, rows, dim, count, out);
}

}  // namespace hobrin::avx512_kernels
