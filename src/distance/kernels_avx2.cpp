// The AVX2 variant: four stored vectors per register, one per lane.
//
// A block of four values is loaded from each of four stored vectors, the
// element-wise terms (differences squared, or products) are formed in that
// layout, and a 4 x 4 transpose turns them into four registers that each hold
// one position of all four vectors. Adding those registers in position order
// to one accumulator register is, lane by lane, the scalar loop: one running
// sum from +0.0 in index order, each product and sum rounded on its own. Four
// groups of four vectors run side by side so that their chains of dependent
// additions overlap. The last dim % 4 positions are loaded under a mask and
// only their terms are added.
//
// Intrinsics and plain loops only: this file is compiled with -mavx2.
#include <immintrin.h>

#include "distance/kernel_variants.hpp"

namespace hobrin::avx2_kernels {
namespace {

constexpr std::size_t kLanes = 4;
constexpr std::size_t kGroups = 4;

enum class Kind { Euclidean, Dot, Cosine };

// t[k] lane j becomes the old t[j] lane k.
inline void transpose(__m256d t[4]) {
  const __m256d a0 = _mm256_unpacklo_pd(t[0], t[1]);  // positions 0, 2 of vectors 0, 1
  const __m256d a1 = _mm256_unpackhi_pd(t[0], t[1]);  // 1, 3
  const __m256d a2 = _mm256_unpacklo_pd(t[2], t[3]);  // 0, 2 of vectors 2, 3
  const __m256d a3 = _mm256_unpackhi_pd(t[2], t[3]);  // 1, 3
  t[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
  t[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
  t[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
  t[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
}

// Lanes below `used` set (all bits of the lane), the others clear.
inline __m256i lane_mask(std::size_t used) {
  const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(used)), lane);
}

inline __m256d load(const double* p, __m256i mask, bool full) {
  return full ? _mm256_loadu_pd(p) : _mm256_maskload_pd(p, mask);
}

// Adds the terms of `used` positions of one block to the group's sums: the
// difference squared (Euclidean) or the product with the query (dot, cosine),
// and for cosine the vector's own square into the second sum.
template <Kind kind, bool full>
inline void add_block(__m256d q, const double* const* rows, std::size_t at, __m256i mask,
                      std::size_t used, __m256d& sum, __m256d& squares) {
  __m256d t[kLanes];
  __m256d s[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    const __m256d r = load(rows[j] + at, mask, full);
    if constexpr (kind == Kind::Euclidean) {
      const __m256d d = _mm256_sub_pd(q, r);
      t[j] = _mm256_mul_pd(d, d);
    } else {
      t[j] = _mm256_mul_pd(q, r);
    }
    if constexpr (kind == Kind::Cosine) s[j] = _mm256_mul_pd(r, r);
  }
  transpose(t);
  for (std::size_t k = 0; k < used; ++k) sum = _mm256_add_pd(sum, t[k]);
  if constexpr (kind == Kind::Cosine) {
    transpose(s);
    for (std::size_t k = 0; k < used; ++k) squares = _mm256_add_pd(squares, s[k]);
  }
}

// Scores kGroups x 4 vectors (groups = kGroups) or 4 vectors (groups = 1).
template <Kind kind, std::size_t groups>
inline void score_groups(const double* query, double query_sum_of_squares,
                         const double* const* rows, std::size_t dim, double* out) {
  __m256d sum[groups];
  __m256d squares[groups];
  for (std::size_t g = 0; g < groups; ++g) {
    sum[g] = _mm256_setzero_pd();
    squares[g] = _mm256_setzero_pd();
  }
  const __m256i all = _mm256_set1_epi64x(-1);
  std::size_t at = 0;
  for (; at + kLanes <= dim; at += kLanes) {
    const __m256d q = _mm256_loadu_pd(query + at);
    for (std::size_t g = 0; g < groups; ++g) {
      add_block<kind, true>(q, rows + g * kLanes, at, all, kLanes, sum[g], squares[g]);
    }
  }
  if (at < dim) {
    const std::size_t used = dim - at;
    const __m256i mask = lane_mask(used);
    const __m256d q = _mm256_maskload_pd(query + at, mask);
    for (std::size_t g = 0; g < groups; ++g) {
      add_block<kind, false>(q, rows + g * kLanes, at, mask, used, sum[g], squares[g]);
    }
  }
  for (std::size_t g = 0; g < groups; ++g) {
    __m256d result;
    if constexpr (kind == Kind::Euclidean) {
      result = _mm256_sqrt_pd(sum[g]);
    } else if constexpr (kind == Kind::Dot) {
      result = sum[g];
    } else {
      const __m256d query_norm = _mm256_sqrt_pd(_mm256_set1_pd(query_sum_of_squares));
      result = _mm256_div_pd(sum[g], _mm256_mul_pd(query_norm, _mm256_sqrt_pd(squares[g])));
    }
    _mm256_storeu_pd(out + g * kLanes, result);
  }
}

template <Kind kind>
void score_all(const double* query, double query_sum_of_squares, const double* const* rows,
               std::size_t dim, std::size_t count, double* out) {
  std::size_t done = 0;
  for (; done + kGroups * kLanes <= count; done += kGroups * kLanes) {
    score_groups<kind, kGroups>(query, query_sum_of_squares, rows + done, dim, out + done);
  }
  for (; done + kLanes <= count; done += kLanes) {
    score_groups<kind, 1>(query, query_sum_of_squares, rows + done, dim, out + done);
  }
  if (done < count) {
    // The unused lanes score the first vector again and are discarded.
    const std::size_t left = count - done;
    const double* padded[kLanes];
    double scores[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) padded[j] = rows[done + (j < left ? j : 0)];
    score_groups<kind, 1>(query, query_sum_of_squares, padded, dim, scores);
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

}  // namespace hobrin::avx2_kernels
