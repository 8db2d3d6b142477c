// The one body of the edge-code scan (fastscan.hpp), included by each
// instruction-set file after it defines HOBRIN_FAST_VARIANT (its namespace),
// HOBRIN_FAST_NAME and HOBRIN_FASTSCAN_SIMD: 0 for the plain loop, 1 for
// NEON, 2 for AVX2, 3 for AVX-512 (with BW).
#include <algorithm>
#include <bit>
#include <cstring>

#include "hobrin_ann/kernels/fastscan.hpp"

#if HOBRIN_FASTSCAN_SIMD >= 2
#include <immintrin.h>
#elif HOBRIN_FASTSCAN_SIMD == 1
#include <arm_neon.h>
#endif

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

#if HOBRIN_FASTSCAN_SIMD >= 1
// Pairs of sub-codes summed in 16-bit lanes before a drain into 32 bits: at
// most two bytes of 255 per pair reach a lane, and 2 * 255 * 128 < 2^16.
constexpr std::size_t kChunkPairs = 128;
#endif

#if HOBRIN_FASTSCAN_SIMD >= 2

#if HOBRIN_FASTSCAN_SIMD == 2
// Adds a chunk's sums of 16 lanes (a: even + 256 * odd lanes per word, b:
// odd lanes; one table per 128-bit half) to the 32-bit sums of lanes 0..7
// (first) and 8..15 (second).
inline void drain(const __m256i& a, const __m256i& b, __m256i& first, __m256i& second) noexcept {
  const __m256i even = _mm256_sub_epi16(a, _mm256_slli_epi16(b, 8));
  const __m256i low = _mm256_unpacklo_epi16(even, b);   // lanes 0..7 in each half
  const __m256i high = _mm256_unpackhi_epi16(even, b);  // lanes 8..15
  first = _mm256_add_epi32(first, _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(low)),
                                                   _mm256_cvtepu16_epi32(_mm256_extracti128_si256(low, 1))));
  second =
      _mm256_add_epi32(second, _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(high)),
                                                _mm256_cvtepu16_epi32(_mm256_extracti128_si256(high, 1))));
}

#else
// The 256-bit half `h` of a register. (The zero-masked forms throughout: GCC
// 12 reports the plain ones, which start from an undefined register, as used
// uninitialised.)
inline __m256i half_of(const __m512i& v, int h) noexcept {
  return h == 0 ? _mm512_maskz_extracti64x4_epi64(0xff, v, 0) : _mm512_maskz_extracti64x4_epi64(0xff, v, 1);
}

// Adds a chunk's sums of 16 lanes to first and second as the AVX2 drain does,
// from four 128-bit quarters (tables 4k .. 4k + 3) instead of two halves.
inline void drain(const __m512i& a, const __m512i& b, __m256i& first, __m256i& second) noexcept {
  const __m512i even = _mm512_sub_epi16(a, _mm512_slli_epi16(b, 8));
  const __m512i halves[2] = {_mm512_unpacklo_epi16(even, b), _mm512_unpackhi_epi16(even, b)};
  __m256i* to[2] = {&first, &second};
  for (int h = 0; h < 2; ++h) {
    const __m512i wide = _mm512_add_epi32(_mm512_maskz_cvtepu16_epi32(0xffff, half_of(halves[h], 0)),
                                          _mm512_maskz_cvtepu16_epi32(0xffff, half_of(halves[h], 1)));
    *to[h] = _mm256_add_epi32(*to[h], _mm256_add_epi32(half_of(wide, 0), half_of(wide, 1)));
  }
}
#endif

// The 32-bit sums of lanes 8k .. 8k + 7 in out[k].
inline void scan(const std::uint8_t* tables, const std::uint8_t* block, std::size_t dims,
                 __m256i out[4]) noexcept {
  for (int k = 0; k < 4; ++k) out[k] = _mm256_setzero_si256();
  const std::size_t pairs = dims / 8;
  for (std::size_t start = 0; start < pairs; start += kChunkPairs) {
    const std::size_t end = std::min(pairs, start + kChunkPairs);
#if HOBRIN_FASTSCAN_SIMD == 3
    // Two pairs (four tables) per step: dims is a multiple of 32, so pairs
    // and chunks are whole steps.
    const __m512i nibble = _mm512_set1_epi8(0x0f);
    __m512i lo_a = _mm512_setzero_si512(), lo_b = lo_a, hi_a = lo_a, hi_b = lo_a;
    for (std::size_t p = start; p < end; p += 2) {
      const __m512i c = _mm512_loadu_si512(block + 32 * p);
      const __m512i t = _mm512_loadu_si512(tables + 32 * p);
      const __m512i lo = _mm512_shuffle_epi8(t, _mm512_and_si512(c, nibble));
      const __m512i hi = _mm512_shuffle_epi8(t, _mm512_and_si512(_mm512_srli_epi16(c, 4), nibble));
      lo_a = _mm512_add_epi16(lo_a, lo);
      lo_b = _mm512_add_epi16(lo_b, _mm512_srli_epi16(lo, 8));
      hi_a = _mm512_add_epi16(hi_a, hi);
      hi_b = _mm512_add_epi16(hi_b, _mm512_srli_epi16(hi, 8));
    }
#else
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    __m256i lo_a = _mm256_setzero_si256(), lo_b = lo_a, hi_a = lo_a, hi_b = lo_a;
    for (std::size_t p = start; p < end; ++p) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * p));
      const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables + 32 * p));
      const __m256i lo = _mm256_shuffle_epi8(t, _mm256_and_si256(c, nibble));
      const __m256i hi = _mm256_shuffle_epi8(t, _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble));
      lo_a = _mm256_add_epi16(lo_a, lo);
      lo_b = _mm256_add_epi16(lo_b, _mm256_srli_epi16(lo, 8));
      hi_a = _mm256_add_epi16(hi_a, hi);
      hi_b = _mm256_add_epi16(hi_b, _mm256_srli_epi16(hi, 8));
    }
#endif
    drain(lo_a, lo_b, out[0], out[1]);
    drain(hi_a, hi_b, out[2], out[3]);
  }
}

void sums(const std::uint8_t* tables, const std::uint8_t* block, std::size_t dims,
          std::uint32_t* out) noexcept {
  __m256i s[4];
  scan(tables, block, dims, s);
  for (int k = 0; k < 4; ++k) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * k), s[k]);
}

// Eight factors widened to floats: their bits are a float's upper half.
inline __m256 factors(const HalfFactor* f) noexcept {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f));
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(half), 16));
}

std::uint32_t estimates(const EdgeQuery& query, const std::uint8_t* block, const HalfFactor* add,
                        const HalfFactor* scale, float g, float threshold, std::uint32_t live,
                        float* out) noexcept {
  __m256i s[4];
  scan(query.tables, block, query.dims, s);
  const __m256 delta = _mm256_set1_ps(query.delta);
  const __m256 offset = _mm256_set1_ps(query.offset);
  const __m256 base = _mm256_set1_ps(g);
  const __m256 bound = _mm256_set1_ps(threshold);
  std::uint32_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const __m256 inner = _mm256_fmadd_ps(delta, _mm256_cvtepi32_ps(s[k]), offset);
    const __m256 est =
        _mm256_fmadd_ps(factors(scale + 8 * k), inner, _mm256_add_ps(factors(add + 8 * k), base));
    _mm256_storeu_ps(out + 8 * k, est);
    const auto below = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(est, bound, _CMP_LT_OQ)));
    mask |= below << (8 * k);
  }
  return mask & live;
}

#else  // NEON, or the plain loop

void sums(const std::uint8_t* tables, const std::uint8_t* block, std::size_t dims,
          std::uint32_t* out) noexcept {
  const std::size_t pairs = dims / 8;
#if HOBRIN_FASTSCAN_SIMD == 1
  // Lanes 8k .. 8k + 7 in total[k]; each shuffle's bytes widened into
  // 16-bit sums (lanes 0..7, 8..15 from the low halves; 16..31 from the high).
  uint32x4_t total[8];
  for (auto& t : total) t = vdupq_n_u32(0);
  const uint8x16_t nibble = vdupq_n_u8(0x0f);
  for (std::size_t start = 0; start < pairs; start += kChunkPairs) {
    const std::size_t end = std::min(pairs, start + kChunkPairs);
    uint16x8_t acc[4] = {vdupq_n_u16(0), vdupq_n_u16(0), vdupq_n_u16(0), vdupq_n_u16(0)};
    for (std::size_t p = start; p < end; ++p) {
      for (std::size_t half = 0; half < 2; ++half) {
        const uint8x16_t c = vld1q_u8(block + 32 * p + 16 * half);
        const uint8x16_t t = vld1q_u8(tables + 32 * p + 16 * half);
        const uint8x16_t lo = vqtbl1q_u8(t, vandq_u8(c, nibble));
        const uint8x16_t hi = vqtbl1q_u8(t, vshrq_n_u8(c, 4));
        acc[0] = vaddw_u8(acc[0], vget_low_u8(lo));
        acc[1] = vaddw_high_u8(acc[1], lo);
        acc[2] = vaddw_u8(acc[2], vget_low_u8(hi));
        acc[3] = vaddw_high_u8(acc[3], hi);
      }
    }
    for (int k = 0; k < 4; ++k) {
      total[2 * k] = vaddw_u16(total[2 * k], vget_low_u16(acc[k]));
      total[2 * k + 1] = vaddw_high_u16(total[2 * k + 1], acc[k]);
    }
  }
  for (int k = 0; k < 8; ++k) vst1q_u32(out + 4 * k, total[k]);
#else
  std::uint32_t total[kEdgeLanes] = {};
  for (std::size_t p = 0; p < pairs; ++p) {
    const std::uint8_t* c = block + 32 * p;
    const std::uint8_t* even = tables + 32 * p;
    const std::uint8_t* odd = even + 16;
    for (std::size_t j = 0; j < 16; ++j) {
      total[j] += even[c[j] & 15u] + odd[c[16 + j] & 15u];
      total[16 + j] += even[c[j] >> 4] + odd[c[16 + j] >> 4];
    }
  }
  std::memcpy(out, total, sizeof total);
#endif
}

std::uint32_t estimates(const EdgeQuery& query, const std::uint8_t* block, const HalfFactor* add,
                        const HalfFactor* scale, float g, float threshold, std::uint32_t live,
                        float* out) noexcept {
  std::uint32_t s[kEdgeLanes];
  sums(query.tables, block, query.dims, s);
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < kEdgeLanes; ++i) {
    out[i] = factor_value(add[i]) + g +
             factor_value(scale[i]) * (query.delta * static_cast<float>(s[i]) + query.offset);
    mask |= static_cast<std::uint32_t>(out[i] < threshold) << i;
  }
  return mask & live;
}

#endif

#if HOBRIN_FASTSCAN_SIMD >= 2
// Values k of eight tables (m .. m + 7) in v[k], one table per 32-bit lane:
// table m + 2p + h in position p of 128-bit half h.
inline void values_of_eight(const float* q, std::size_t m, __m256 v[4]) noexcept {
  __m256 rows[4];
  for (int i = 0; i < 4; ++i) rows[i] = _mm256_loadu_ps(q + 4 * m + 8 * i);
  const __m256 a = _mm256_unpacklo_ps(rows[0], rows[1]), b = _mm256_unpackhi_ps(rows[0], rows[1]);
  const __m256 c = _mm256_unpacklo_ps(rows[2], rows[3]), d = _mm256_unpackhi_ps(rows[2], rows[3]);
  auto low_pairs = [](__m256 x, __m256 y) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
  };
  auto high_pairs = [](__m256 x, __m256 y) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
  };
  v[0] = low_pairs(a, c);
  v[1] = high_pairs(a, c);
  v[2] = low_pairs(b, d);
  v[3] = high_pairs(b, d);
}

// The sums of the negative (least) or the other (most) values of eight tables.
inline __m256 least_of(const __m256 v[4]) noexcept {
  const __m256 zero = _mm256_setzero_ps();
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_min_ps(zero, v[0]), _mm256_min_ps(zero, v[1])),
                                     _mm256_min_ps(zero, v[2])),
                       _mm256_min_ps(zero, v[3]));
}
inline __m256 most_of(const __m256 v[4]) noexcept {
  const __m256 zero = _mm256_setzero_ps();
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_max_ps(zero, v[0]), _mm256_max_ps(zero, v[1])),
                                     _mm256_max_ps(zero, v[2])),
                       _mm256_max_ps(zero, v[3]));
}

// prepare_edge_query's first pass eight tables at a time: the same step
// (the widest table's range is the same maximum), the offset summed in
// another order.
EdgeQuery step(const float* q, std::size_t dims, std::uint8_t* out) noexcept {
  __m256 widest = _mm256_setzero_ps(), beta = widest, sum = widest;
  for (std::size_t m = 0; m < dims / 4; m += 8) {
    __m256 v[4];
    values_of_eight(q, m, v);
    const __m256 low = least_of(v), high = most_of(v);
    widest = _mm256_max_ps(widest, _mm256_sub_ps(high, low));
    beta = _mm256_add_ps(beta, low);
    sum = _mm256_add_ps(sum, _mm256_add_ps(high, low));
  }
  float lanes[3][8];
  _mm256_storeu_ps(lanes[0], widest);
  _mm256_storeu_ps(lanes[1], beta);
  _mm256_storeu_ps(lanes[2], sum);
  float most = 0.0f;
  double least = 0.0, total = 0.0;
  for (int i = 0; i < 8; ++i) {
    most = std::max(most, lanes[0][i]);
    least += lanes[1][i];
    total += lanes[2][i];
  }
  return {out, dims, most / 255.0f, static_cast<float>(least - 0.5 * total)};
}

// The query's tables eight at a time (values_of_eight). Entries are summed
// in the order prepare_edge_query sums them.
EdgeQuery tables(const float* q, std::size_t dims, std::uint8_t* out) noexcept {
  const EdgeQuery query = step(q, dims, out);
  const __m256 inverse = _mm256_set1_ps(query.delta > 0.0f ? 1.0f / query.delta : 0.0f);
  const __m256 half = _mm256_set1_ps(0.5f), zero = _mm256_setzero_ps(), top = _mm256_set1_ps(255.0f);
  // Per 128-bit half, byte 4j + t (entry j of the table in position t) to byte 4t + j.
  const __m256i by_table = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12,
                                            1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  for (std::size_t m = 0; m < dims / 4; m += 8) {
    __m256 v[4];
    values_of_eight(q, m, v);
    const __m256 low = least_of(v);
    __m256 entry[16];
    entry[0] = zero;
    for (unsigned x = 1; x < 16; ++x) entry[x] = _mm256_add_ps(entry[x & (x - 1)], v[std::countr_zero(x)]);
    __m256i words[16];
    for (unsigned x = 0; x < 16; ++x) {
      const __m256 level = _mm256_fmadd_ps(_mm256_sub_ps(entry[x], low), inverse, half);
      words[x] = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(level, zero), top));
    }
    // quads[g]: entries 4g .. 4g + 3 of each table, then a table's 16 bytes together.
    __m256i quads[4];
    for (int g = 0; g < 4; ++g) {
      const __m256i pairs = _mm256_packus_epi16(_mm256_packs_epi32(words[4 * g], words[4 * g + 1]),
                                                _mm256_packs_epi32(words[4 * g + 2], words[4 * g + 3]));
      quads[g] = _mm256_shuffle_epi8(pairs, by_table);
    }
    const __m256i low01 = _mm256_unpacklo_epi32(quads[0], quads[1]);
    const __m256i high01 = _mm256_unpackhi_epi32(quads[0], quads[1]);
    const __m256i low23 = _mm256_unpacklo_epi32(quads[2], quads[3]);
    const __m256i high23 = _mm256_unpackhi_epi32(quads[2], quads[3]);
    // whole[p]: tables 2p and 2p + 1 of this group of eight, 32 bytes in order.
    const __m256i whole[4] = {_mm256_unpacklo_epi64(low01, low23), _mm256_unpackhi_epi64(low01, low23),
                              _mm256_unpacklo_epi64(high01, high23), _mm256_unpackhi_epi64(high01, high23)};
    for (int p = 0; p < 4; ++p)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * (m + 2 * p)), whole[p]);
  }
  return query;
}
#else
EdgeQuery tables(const float* q, std::size_t dims, std::uint8_t* out) noexcept {
  return prepare_edge_query(q, dims, out);
}
#endif

}  // namespace

FastScanKernels fastscan_kernels() noexcept { return {HOBRIN_FAST_NAME, sums, estimates, tables}; }

}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
