#include "hobrin_ann/kernels/codes.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/cpu_features.hpp"

namespace hobrin::fast {

// Each variant's entry point, defined in its file from the shared body.
namespace baseline {
CodeKernels code_kernels(Code code, Measure measure) noexcept;
}
#if defined(__x86_64__) || defined(__i386__)
#define HOBRIN_CODES_X86 1
namespace avx2 {
CodeKernels code_kernels(Code code, Measure measure) noexcept;
}
namespace avx512 {
CodeKernels code_kernels(Code code, Measure measure) noexcept;
}
#elif defined(__aarch64__)
#define HOBRIN_CODES_AARCH64 1
namespace neon {
CodeKernels code_kernels(Code code, Measure measure) noexcept;
}
#endif

namespace {

// The kernels of one level; the baseline for a level this build has no
// variant of (those of another architecture).
CodeKernels of_level(SimdLevel level, Code code, Measure measure) noexcept {
  switch (level) {
#if defined(HOBRIN_CODES_X86)
    case SimdLevel::AVX512: return avx512::code_kernels(code, measure);
    case SimdLevel::AVX2: return avx2::code_kernels(code, measure);
#elif defined(HOBRIN_CODES_AARCH64)
    case SimdLevel::NEON: return neon::code_kernels(code, measure);
#endif
    default: break;
  }
  return baseline::code_kernels(code, measure);
}

// Round to nearest even, clamped to the largest finite half; the input is finite.
std::uint16_t to_half(float value) noexcept {
  value = std::clamp(value, -65504.0f, 65504.0f);
  std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000u);
  x &= 0x7fffffffu;
  if (x < 0x38800000u) {  // below 2^-14: a subnormal half, in steps of 2^-24 (1024 is the least normal)
    const float magnitude = std::bit_cast<float>(x);
    return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(std::nearbyint(magnitude * 0x1p24f)));
  }
  const std::uint32_t rounded = x + 0xfffu + ((x >> 13) & 1u);
  return static_cast<std::uint16_t>(sign | ((rounded - (112u << 23)) >> 13));
}

float from_half(std::uint16_t h) noexcept {
  const float magnitude = std::bit_cast<float>(std::uint32_t{h & 0x7fffu} << 13) * 0x1p112f;
  return (h & 0x8000u) != 0 ? -magnitude : magnitude;
}

// Where int4 code j lives: byte (j / 64) * 32 + j % 32, the high half for j % 64 >= 32.
std::size_t int4_byte(std::size_t j) noexcept { return j / 64 * 32 + j % 32; }
unsigned int4_shift(std::size_t j) noexcept { return j % 64 >= 32 ? 4u : 0u; }

}  // namespace

CodeKernels code_kernels(Code code, Measure measure) noexcept {
  // The variant the float kernels chose (the same override applies).
  static const char* const chosen = fast_kernels<float>(Measure::SquaredEuclidean).variant;
  return code_kernels(code, measure, chosen);
}

CodeKernels code_kernels(Code code, Measure measure, const char* variant) noexcept {
  for (SimdLevel v : {SimdLevel::Baseline, SimdLevel::AVX2, SimdLevel::AVX512, SimdLevel::NEON}) {
    const CodeKernels found = of_level(v, code, measure);
    if (std::strcmp(found.variant, variant) != 0) continue;
    if (!cpu_runs(v)) break;
    return found;
  }
  return {variant, nullptr, nullptr};
}

void CodeRange::learn(Code code, float* offset, float* scale) const noexcept {
  const std::size_t dim = low_.size();
  const std::size_t dims = code_dims(code, dim);
  std::fill(offset, offset + dims, 0.0f);
  std::fill(scale, scale + dims, 0.0f);
  if (!seen_) return;
  const double* low = low_.data();
  const double* high = high_.data();
  // Kept within half the float range, so that offset + scale * levels stays finite.
  constexpr double limit = FLT_MAX / 2.0;
  double widest = 0.0;
  for (std::size_t j = 0; j < dim; ++j) {
    const double lo = std::clamp(low[j], -limit, limit);
    const double hi = std::clamp(high[j], -limit, limit);
    offset[j] = static_cast<float>(lo);
    widest = std::max(widest, hi - lo);
  }
  const auto step = static_cast<float>(widest / code_levels(code));
  for (std::size_t j = 0; j < dim; ++j) scale[j] = high[j] > low[j] ? step : 0.0f;
}

template <class T>
void encode_row(Code code, const T* values, std::size_t dim, CodeScale scale, std::uint8_t* out) noexcept {
  std::memset(out, 0, code_row_bytes(code, dim));
  if (code == Code::Float16) {
    for (std::size_t j = 0; j < dim; ++j) {
      const std::uint16_t h = to_half(
          static_cast<float>(std::clamp(static_cast<double>(values[j]), -double{FLT_MAX}, double{FLT_MAX})));
      std::memcpy(out + 2 * j, &h, sizeof h);
    }
    return;
  }
  const double levels = code_levels(code);
  for (std::size_t j = 0; j < dim; ++j) {
    double t = 0.0;
    if (scale.scale[j] > 0.0f) {
      t = std::nearbyint((static_cast<double>(values[j]) - scale.offset[j]) / scale.scale[j]);
    }
    if (!(t >= 0.0)) t = 0.0;  // also a NaN
    const auto c = static_cast<std::uint8_t>(std::min(t, levels));
    if (code == Code::Int8) {
      out[j] = c;
    } else {
      out[int4_byte(j)] |= static_cast<std::uint8_t>(c << int4_shift(j));
    }
  }
}

template <class T>
void decode_row(Code code, const std::uint8_t* codes, std::size_t dim, CodeScale scale, T* out,
                const std::uint32_t* order) noexcept {
  for (std::size_t j = 0; j < dim; ++j) {
    T& to = out[order != nullptr ? order[j] : j];
    if (code == Code::Float16) {
      std::uint16_t h;
      std::memcpy(&h, codes + 2 * j, sizeof h);
      to = static_cast<T>(from_half(h));
      continue;
    }
    const unsigned c = code == Code::Int8 ? codes[j] : (codes[int4_byte(j)] >> int4_shift(j)) & 15u;
    to = static_cast<T>(scale.offset[j] + scale.scale[j] * static_cast<float>(c));
  }
}

namespace {

// The step every used dimension shares, or 0 when they do not share one.
float shared_step(const float* scale, std::size_t dims) noexcept {
  float step = 0.0f;
  for (std::size_t j = 0; j < dims; ++j) {
    if (scale[j] == 0.0f) continue;
    if (step != 0.0f && scale[j] != step) return 0.0f;
    step = scale[j];
  }
  return step;
}

}  // namespace

CodeQuery prepare_code_query(Code code, Measure measure, const float* query, std::size_t dims,
                             CodeScale scale, float* a, std::int16_t* levels) noexcept {
  if (code == Code::Float16) {
    std::copy_n(query, dims, a);
    return {a, nullptr, 0.0f};
  }
  if (measure == Measure::SquaredEuclidean) {
    for (std::size_t j = 0; j < dims; ++j) a[j] = query[j] - scale.offset[j];
    CodeQuery prepared{a, scale.scale, 0.0f};
    const float step = levels != nullptr ? shared_step(scale.scale, dims) : 0.0f;
    if (step > 0.0f && std::isfinite(step * step)) {
      const float inverse = 1.0f / step;
      bool outside = false;
      for (std::size_t j = 0; j < dims; ++j) {
        // Kept so that |level - code| <= 16383: eight squares fit in 32 bits.
        // Rounded half away from zero, in a form the compiler vectorises.
        const float raw = a[j] * inverse;
        outside |= !(raw >= -16128.0f && raw <= 16383.0f);
        const float level = std::clamp(raw, -16128.0f, 16383.0f);
        levels[j] = static_cast<std::int16_t>(level + (level < 0.0f ? -0.5f : 0.5f));
      }
      // A query that far outside the codes' range would be moved to the edge
      // of the levels: the float form scores it without that error.
      if (!outside) {
        prepared.levels = levels;
        prepared.step2 = step * step;
      }
    }
    return prepared;
  }
  double bias = 0.0;
  float largest = 0.0f;
  for (std::size_t j = 0; j < dims; ++j) {
    a[j] = query[j] * scale.scale[j];
    bias += static_cast<double>(query[j]) * scale.offset[j];
    largest = std::max(largest, std::abs(query[j]));
  }
  CodeQuery prepared{a, nullptr, static_cast<float>(bias)};
  const float step = levels != nullptr ? shared_step(scale.scale, dims) : 0.0f;
  if (step > 0.0f && largest > 0.0f && std::isfinite(largest)) {
    // The query as levels of largest / 16383 (products of at most 16383 x
    // 255 summed in pairs, eight to a 32-bit lane, fit); the sum of products
    // with the codes times step_j * that unit is the dot product's sum.
    const float unit = largest / 16383.0f;
    for (std::size_t j = 0; j < dims; ++j) {
      const float level = std::clamp(query[j] / unit, -16383.0f, 16383.0f);
      levels[j] = static_cast<std::int16_t>(level + (level < 0.0f ? -0.5f : 0.5f));
    }
    prepared.levels = levels;
    prepared.step2 = step * unit;
  }
  return prepared;
}

template void encode_row<float>(Code, const float*, std::size_t, CodeScale, std::uint8_t*) noexcept;
template void encode_row<double>(Code, const double*, std::size_t, CodeScale, std::uint8_t*) noexcept;
template void decode_row<float>(Code, const std::uint8_t*, std::size_t, CodeScale, float*,
                                const std::uint32_t*) noexcept;
template void decode_row<double>(Code, const std::uint8_t*, std::size_t, CodeScale, double*,
                                 const std::uint32_t*) noexcept;

}  // namespace hobrin::fast
