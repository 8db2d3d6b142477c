// The code kernels (see codes.hpp), included by kernels_body.inl after its
// helpers: the same variant macros, the same namespace. Codes are decoded
// one register of floats at a time; half precision uses the F16C conversion
// where the variant is built with it.
#include <algorithm>
#include <cstdlib>

#include "hobrin_ann/kernels/codes.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

using Floats = Register<float>::Vector;
constexpr std::size_t kLanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(float);
typedef std::uint8_t CodeBytes __attribute__((vector_size(kLanes)));
typedef std::uint16_t HalfBits __attribute__((vector_size(2 * kLanes)));
typedef std::uint32_t Words __attribute__((vector_size(HOBRIN_FAST_VECTOR_BYTES)));
typedef std::int32_t Ints __attribute__((vector_size(HOBRIN_FAST_VECTOR_BYTES)));

inline void load_floats(Floats& out, const float* p) noexcept { std::memcpy(&out, p, sizeof out); }

// Half-precision bits to floats. Without F16C: the magnitude bits moved into
// a float's place, then scaled by 2^112 to rebase the exponent (subnormal
// halves come out right too); infinities and NaN are never stored.
// (The 512-bit conversions are the zero-masked forms: GCC 12 reports the plain
// ones, which start from an undefined register, as used uninitialised.)
inline void halves_to_floats(Floats& out, const std::uint8_t* p) noexcept {
#if defined(__F16C__) && HOBRIN_FAST_VECTOR_BYTES == 32
  const __m256 f = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  std::memcpy(&out, &f, sizeof out);
#elif defined(__F16C__) && HOBRIN_FAST_VECTOR_BYTES == 64
  const __m512 f = _mm512_maskz_cvtph_ps(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  std::memcpy(&out, &f, sizeof out);
#else
  HalfBits h;
  std::memcpy(&h, p, sizeof h);
  const Words w = __builtin_convertvector(h, Words);
  const Words magnitude = (w & 0x7fffu) << 13;
  Floats f;
  std::memcpy(&f, &magnitude, sizeof f);
  f *= 0x1p112f;
  Words bits;
  std::memcpy(&bits, &f, sizeof bits);
  bits |= (w & 0x8000u) << 16;
  std::memcpy(&out, &bits, sizeof out);
#endif
}

// kLanes codes from bytes at p, each (byte >> shift) & mask, as floats.
inline void codes_to_floats(Floats& out, const std::uint8_t* p, unsigned shift, std::uint8_t mask) noexcept {
#if defined(__AVX2__) && HOBRIN_FAST_VECTOR_BYTES == 32
  __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  b = _mm_and_si128(_mm_srl_epi16(b, _mm_cvtsi32_si128(static_cast<int>(shift))), _mm_set1_epi8(mask));
  const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
  std::memcpy(&out, &f, sizeof out);
#elif defined(__AVX512F__) && HOBRIN_FAST_VECTOR_BYTES == 64
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  b = _mm_and_si128(_mm_srl_epi16(b, _mm_cvtsi32_si128(static_cast<int>(shift))), _mm_set1_epi8(mask));
  const __m512 f = _mm512_maskz_cvtepi32_ps(0xffff, _mm512_maskz_cvtepu8_epi32(0xffff, b));
  std::memcpy(&out, &f, sizeof out);
#else
  // Without byte shifts in the base instruction set: widen first.
  CodeBytes b;
  std::memcpy(&b, p, sizeof b);
  const Ints wide = (__builtin_convertvector(b, Ints) >> static_cast<int>(shift)) & static_cast<int>(mask);
  out = __builtin_convertvector(wide, Floats);
#endif
}

// The codes of dimensions j .. j + kLanes as floats (not yet scaled).
template <Code code>
inline void load_codes(Floats& out, const std::uint8_t* row, std::size_t j) noexcept {
  if constexpr (code == Code::Float16) {
    halves_to_floats(out, row + 2 * j);
  } else if constexpr (code == Code::Int8) {
    codes_to_floats(out, row + j, 0, 0xff);
  } else {
    codes_to_floats(out, row + (j >> 6) * 32 + (j & 31), static_cast<unsigned>(j & 32) >> 3, 15);
  }
}

// Adds the terms of dimensions j .. j + kLanes to `acc`.
template <Code code, Measure measure>
inline void code_step(Floats& acc, const CodeQuery& q, const std::uint8_t* row, std::size_t j) noexcept {
  Floats c;
  Floats a;
  load_codes<code>(c, row, j);
  load_floats(a, q.a + j);
  if constexpr (measure == Measure::NegativeDot) {
    acc += a * c;
  } else if constexpr (code == Code::Float16) {
    const Floats d = a - c;
    acc += d * d;
  } else {
    Floats s;
    load_floats(s, q.scale + j);
    const Floats d = a - s * c;
    acc += d * d;
  }
}

// As distance() in kernels_body.inl: four accumulators, and a squared
// Euclidean sum checked against `bound` every 128 dimensions.
template <Code code, Measure measure, bool bounded>
inline float code_distance(const CodeQuery& q, const std::uint8_t* row, std::size_t dims,
                           float bound) noexcept {
  constexpr std::size_t step = 4 * kLanes;
  Floats acc0{};
  Floats acc1{};
  Floats acc2{};
  Floats acc3{};
  std::size_t j = 0;
  for (; j + step <= dims; j += step) {
    code_step<code, measure>(acc0, q, row, j);
    code_step<code, measure>(acc1, q, row, j + kLanes);
    code_step<code, measure>(acc2, q, row, j + 2 * kLanes);
    code_step<code, measure>(acc3, q, row, j + 3 * kLanes);
    if constexpr (bounded && measure == Measure::SquaredEuclidean) {
      if ((j + step) % 128 == 0 && j + step < dims) {
        const float partial = register_sum((acc0 + acc1) + (acc2 + acc3));
        if (partial > bound) return partial;
      }
    }
  }
  for (; j < dims; j += kLanes) code_step<code, measure>(acc0, q, row, j);
  const float sum = register_sum((acc0 + acc1) + (acc2 + acc3));
  return measure == Measure::NegativeDot ? -(q.bias + sum) : sum;
}

// The integer form over int8 and int4 codes (see CodeQuery): differences
// in 16 bits, their squares summed in pairs into 32 bits (each 32-bit lane
// takes at most eight squares of at most 16383^2 per 128 dimensions, which
// fits), the lanes of each 128 dimensions summed in 64 bits (128 such squares
// do not fit in 32) and added to a float total, which is checked
// against `bound`. One step covers 64 dimensions: an int8 row's 64 bytes,
// or an int4 group's 32 bytes (dimension i in the low half of byte i, i + 32
// in the high half).
#if defined(__AVX2__) && HOBRIN_FAST_VECTOR_BYTES >= 32
// Adds the squared differences (squared Euclidean) or the products (dot) of
// 16 levels and 16 codes (as 16-bit lanes).
template <Measure measure>
inline __m256i add_terms(__m256i acc, const std::int16_t* levels, __m256i codes) noexcept {
  const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels));
  if constexpr (measure == Measure::NegativeDot) return _mm256_add_epi32(acc, _mm256_madd_epi16(l, codes));
  const __m256i d = _mm256_sub_epi16(l, codes);
  return _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
}

template <Code code, Measure measure>
inline void level_step(__m256i (&acc)[4], const std::int16_t* levels, const std::uint8_t* row,
                       std::size_t j) noexcept {
  __m128i parts[4];
  if constexpr (code == Code::Int8) {
    for (int p = 0; p < 4; ++p)
      parts[p] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j + 16 * p));
  } else {
    const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j / 2));
    const __m256i low = _mm256_and_si256(packed, _mm256_set1_epi8(15));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(packed, 4), _mm256_set1_epi8(15));
    parts[0] = _mm256_castsi256_si128(low);
    parts[1] = _mm256_extracti128_si256(low, 1);
    parts[2] = _mm256_castsi256_si128(high);
    parts[3] = _mm256_extracti128_si256(high, 1);
  }
  for (int p = 0; p < 4; ++p)
    acc[p] = add_terms<measure>(acc[p], levels + j + 16 * p, _mm256_cvtepu8_epi16(parts[p]));
}

// The sum of every lane. Two registers add in 32 bits (eight squares a lane
// fit); the whole sum, up to 128 squares of 16383^2, needs 64.
inline std::int64_t lanes_total(const __m256i (&acc)[4]) noexcept {
  const __m256i low = _mm256_add_epi32(acc[0], acc[1]);
  const __m256i high = _mm256_add_epi32(acc[2], acc[3]);
  const __m256i wide =
      _mm256_add_epi64(_mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(low)),
                                        _mm256_cvtepi32_epi64(_mm256_extracti128_si256(low, 1))),
                       _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(high)),
                                        _mm256_cvtepi32_epi64(_mm256_extracti128_si256(high, 1))));
  const __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
  return _mm_cvtsi128_si64(sum) + _mm_extract_epi64(sum, 1);
}
#endif

template <Code code, Measure measure, bool bounded>
inline float level_distance(const CodeQuery& q, const std::uint8_t* row, std::size_t dims,
                            float bound) noexcept {
  float total = 0.0f;
  const float limit = bound / q.step2;  // squared Euclidean only
  for (std::size_t j = 0; j < dims;) {
    const std::size_t end = std::min(dims, j + 128);
#if defined(__AVX2__) && HOBRIN_FAST_VECTOR_BYTES >= 32
    __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    for (; j < end; j += 64) level_step<code, measure>(acc, q.levels, row, j);
    total += static_cast<float>(lanes_total(acc));
#else
    typedef std::uint8_t Bytes __attribute__((vector_size(16)));
    typedef std::int16_t Levels __attribute__((vector_size(32)));
    typedef std::int32_t Wide __attribute__((vector_size(64)));
    Wide acc{};
    for (; j < end; j += 16) {
      Bytes c;
      Levels l;
      if constexpr (code == Code::Int8) {
        std::memcpy(&c, row + j, sizeof c);
      } else {
        std::memcpy(&c, row + (j >> 6) * 32 + (j & 31), sizeof c);
        c = (c >> static_cast<std::uint8_t>((j & 32) >> 3)) & 15;
      }
      std::memcpy(&l, q.levels + j, sizeof l);
      const Wide wide = __builtin_convertvector(l, Wide);
      const Wide d = wide - __builtin_convertvector(c, Wide);
      acc += measure == Measure::NegativeDot ? wide * __builtin_convertvector(c, Wide) : d * d;
    }
    // Each lane holds at most eight squares of 16383^2; their total needs 64 bits.
    std::int64_t sum = 0;
    for (int i = 0; i < 16; ++i) sum += acc[i];
    total += static_cast<float>(sum);
#endif
    if constexpr (bounded && measure == Measure::SquaredEuclidean) {
      if (total > limit && j < dims) return total * q.step2;
    }
  }
  if constexpr (measure == Measure::NegativeDot) return -(q.bias + total * q.step2);
  return total * q.step2;
}

// Rows of codes are short: enough of them are fetched ahead to keep about
// 1 KiB in flight, or, for rows of 1 KiB and more, the next one.
template <Code code, Measure measure, bool bounded>
void code_batch_rows(const CodeQuery& q, const std::uint8_t* base, std::size_t stride,
                     const std::uint32_t* nodes, std::size_t count, std::size_t dims, float bound,
                     float* out) noexcept {
  auto row = [&](std::size_t i) { return base + std::size_t{nodes[i]} * stride; };
  auto fetch = [&](const std::uint8_t* r) {
    for (std::size_t b = 0; b < stride; b += kBlockBytes) __builtin_prefetch(r + b);
  };
  const std::size_t ahead = stride >= 4096 ? 1 : 4096 / std::max<std::size_t>(stride, 1);
  for (std::size_t i = 0; i < ahead && i < count; ++i) fetch(row(i));
  constexpr bool integer = code != Code::Float16;
  const bool levels = integer && q.levels != nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (i + ahead < count) fetch(row(i + ahead));
    if constexpr (integer) {
      if (levels) {
        out[i] = level_distance<code, measure, bounded>(q, row(i), dims, bound);
        continue;
      }
    }
    out[i] = code_distance<code, measure, bounded>(q, row(i), dims, bound);
  }
}

template <Code code, Measure measure>
void code_batch(const CodeQuery& q, const std::uint8_t* base, std::size_t stride, const std::uint32_t* nodes,
                std::size_t count, std::size_t dims, float bound, float* out) noexcept {
  if (measure == Measure::SquaredEuclidean && bound < __builtin_huge_valf()) {
    code_batch_rows<code, measure, true>(q, base, stride, nodes, count, dims, bound, out);
  } else {
    code_batch_rows<code, measure, false>(q, base, stride, nodes, count, dims, bound, out);
  }
}

// Two rows decoded side by side. Squared Euclidean over scalar codes needs
// no offset: the difference is scale * (code a - code b).
template <Code code, Measure measure>
float code_pair(const std::uint8_t* a, const std::uint8_t* b, CodeScale s, std::size_t dims) noexcept {
  Floats acc0{};
  Floats acc1{};
  for (std::size_t j = 0; j < dims; j += kLanes) {
    Floats x;
    Floats y;
    load_codes<code>(x, a, j);
    load_codes<code>(y, b, j);
    if constexpr (code != Code::Float16) {
      Floats scale;
      load_floats(scale, s.scale + j);
      if constexpr (measure == Measure::SquaredEuclidean) {
        x = scale * (x - y);
        y = Floats{};
      } else {
        Floats offset;
        load_floats(offset, s.offset + j);
        x = offset + scale * x;
        y = offset + scale * y;
      }
    }
    Floats& acc = (j / kLanes) % 2 == 0 ? acc0 : acc1;
    if constexpr (measure == Measure::SquaredEuclidean) {
      const Floats d = x - y;
      acc += d * d;
    } else {
      acc += x * y;
    }
  }
  const float sum = register_sum(acc0 + acc1);
  return measure == Measure::NegativeDot ? -sum : sum;
}

template <Code code>
CodeKernels code_kernels_for(Measure measure) noexcept {
  if (measure == Measure::SquaredEuclidean) {
    return {HOBRIN_FAST_NAME, code_batch<code, Measure::SquaredEuclidean>,
            code_pair<code, Measure::SquaredEuclidean>};
  }
  return {HOBRIN_FAST_NAME, code_batch<code, Measure::NegativeDot>, code_pair<code, Measure::NegativeDot>};
}

}  // namespace

CodeKernels code_kernels(Code code, Measure measure) noexcept {
  switch (code) {
    case Code::Float16: return code_kernels_for<Code::Float16>(measure);
    case Code::Int8: return code_kernels_for<Code::Int8>(measure);
    case Code::Int4: break;
  }
  return code_kernels_for<Code::Int4>(measure);
}

}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
