#include "hobrin_ann/kernels/row_codes.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace hobrin::fast {
namespace {

// Where int4 code j lives: byte (j / 64) * 32 + j % 32, the high half for j % 64 >= 32.
std::size_t int4_byte(std::size_t j) noexcept { return j / 64 * 32 + j % 32; }
unsigned int4_shift(std::size_t j) noexcept { return j % 64 >= 32 ? 4u : 0u; }

unsigned code_at(Code code, const std::uint8_t* codes, std::size_t j) noexcept {
  return code == Code::Int8 ? codes[j] : (codes[int4_byte(j)] >> int4_shift(j)) & 15u;
}

}  // namespace

template <class T>
RowScalars encode_scaled_row(Code code, const T* values, std::size_t dim, std::uint8_t* out) noexcept {
  std::memset(out, 0, code_row_bytes(code, dim));
  // Kept within half the float range, so that low + step * levels stays finite.
  constexpr double limit = FLT_MAX / 2.0;
  double least = limit;
  double most = -limit;
  for (std::size_t j = 0; j < dim; ++j) {
    const double v = std::clamp(static_cast<double>(values[j]), -limit, limit);
    least = std::min(least, v);
    most = std::max(most, v);
  }
  if (dim == 0) least = most = 0.0;
  const double levels = code_levels(code);
  RowScalars s{static_cast<float>(least), static_cast<float>((most - least) / levels), 0.0f, 0.0f};
  double norm2 = 0.0;
  double sum = 0.0;
  for (std::size_t j = 0; j < dim; ++j) {
    double t = 0.0;
    if (s.step > 0.0f) t = std::nearbyint((static_cast<double>(values[j]) - s.low) / s.step);
    const auto c = static_cast<unsigned>(std::clamp(t, 0.0, levels));
    if (code == Code::Int8) {
      out[j] = static_cast<std::uint8_t>(c);
    } else {
      out[int4_byte(j)] |= static_cast<std::uint8_t>(c << int4_shift(j));
    }
    const double decoded = static_cast<double>(s.low + s.step * static_cast<float>(c));
    norm2 += decoded * decoded;
    sum += c;
  }
  s.norm2 = static_cast<float>(std::min(norm2, double{FLT_MAX}));
  s.code_sum = static_cast<float>(sum);
  return s;
}

template <class T>
void decode_scaled_row(Code code, const std::uint8_t* codes, std::size_t dim, const RowScalars& s, T* out,
                       const std::uint32_t* order) noexcept {
  for (std::size_t j = 0; j < dim; ++j) {
    const auto c = static_cast<float>(code_at(code, codes, j));
    out[order != nullptr ? order[j] : j] = static_cast<T>(s.low + s.step * c);
  }
}

bool plausible_scalars(Code code, std::size_t dim, const RowScalars& s) noexcept {
  const double most = static_cast<double>(code_levels(code)) * static_cast<double>(dim);
  return std::isfinite(s.low) && std::isfinite(s.step) && s.step >= 0.0f && std::isfinite(s.norm2) &&
         s.norm2 >= 0.0f && s.code_sum >= 0.0f && s.code_sum <= most && s.code_sum == std::floor(s.code_sum);
}

CodeQuery prepare_dot_query(const float* query, std::size_t dims, float* a, std::int16_t* levels) noexcept {
  float largest = 0.0f;
  for (std::size_t j = 0; j < dims; ++j) {
    a[j] = query[j];
    largest = std::max(largest, std::abs(query[j]));
  }
  CodeQuery prepared{a, nullptr, 0.0f};
  if (levels != nullptr && largest > 0.0f && std::isfinite(largest)) {
    // Products of at most 16383 x 255, summed in pairs, eight to a 32-bit lane, fit.
    const float unit = largest / 16383.0f;
    for (std::size_t j = 0; j < dims; ++j) {
      const float level = std::clamp(query[j] / unit, -16383.0f, 16383.0f);
      levels[j] = static_cast<std::int16_t>(level + (level < 0.0f ? -0.5f : 0.5f));
    }
    prepared.levels = levels;
    prepared.step2 = unit;
  }
  return prepared;
}

template RowScalars encode_scaled_row<float>(Code, const float*, std::size_t, std::uint8_t*) noexcept;
template RowScalars encode_scaled_row<double>(Code, const double*, std::size_t, std::uint8_t*) noexcept;
template void decode_scaled_row<float>(Code, const std::uint8_t*, std::size_t, const RowScalars&, float*,
                                       const std::uint32_t*) noexcept;
template void decode_scaled_row<double>(Code, const std::uint8_t*, std::size_t, const RowScalars&, double*,
                                        const std::uint32_t*) noexcept;

}  // namespace hobrin::fast
