#pragma once
// 8-bit and 4-bit codes scaled per row: each row gets its own offset (its
// least value) and step ((largest - least) / levels), so value j decodes to
// low + step * code_j. Nothing is learned from other rows and nothing is
// clamped, so the codes of a row do not depend on what was added before it,
// and each value decodes within step / 2 of what was encoded (plus float
// rounding): (largest - least) / 510 for int8, / 30 for int4.
//
// The walk scores such codes with the negated-dot code kernels (codes.hpp)
// over a query prepared by prepare_dot_query, which give -<q, c>, and then
// applies the row's scalars:
//   <q, x> = low * sum(q) + step * <q, c>
//   |q - x|^2 = |q|^2 + |x|^2 - 2 <q, x>
// with sum(q) and |q|^2 over the real dimensions only (padding codes and
// padded query values are zero, so the kernels' sum over padding is zero).
// Two rows a and b: <a, b> = D low_a low_b + low_a step_b sum(c_b) +
// low_b step_a sum(c_a) + step_a step_b <c_a, c_b>.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "hobrin_ann/kernels/codes.hpp"

namespace hobrin::fast {

// The scalars of one row of codes (16 bytes, kept beside the codes).
struct RowScalars {
  float low;       // the row's least value: code 0
  float step;      // what one code level is worth; 0 for a constant row
  float norm2;     // the squared length of the decoded row
  float code_sum;  // the sum of the row's codes
};

// Encodes `dim` values into code_row_bytes() bytes (int8 or int4) and
// returns the row's scalars. Values are finite.
template <class T>
RowScalars encode_scaled_row(Code code, const T* values, std::size_t dim, std::uint8_t* out) noexcept;

// Decodes a row: value j to out[order[j]] when an order is given, else to out[j].
template <class T>
void decode_scaled_row(Code code, const std::uint8_t* codes, std::size_t dim, const RowScalars& scalars,
                       T* out, const std::uint32_t* order = nullptr) noexcept;

// Whether stored scalars can belong to a row of `dim` codes of `code`:
// finite, step and norm not negative, code_sum a whole number of codes.
bool plausible_scalars(Code code, std::size_t dim, const RowScalars& scalars) noexcept;

// A padded query (code_dims() values, zeros past dim) prepared for the
// negated-dot code kernels with unit scales, so that they give -<q, codes>:
// its values copied to `a`, and, given `levels`, its integer form there
// (levels of max |q| / 16383; none for a zero query).
CodeQuery prepare_dot_query(const float* query, std::size_t dims, float* a, std::int16_t* levels) noexcept;

// The distance of a query (its sum and squared length over its real
// dimensions) to a row, from the kernels' -<q, c> over the row's codes.
inline float scaled_distance(Measure measure, const RowScalars& s, float query_sum, float query_norm2,
                             float negated_codes_dot) noexcept {
  const float dot = s.low * query_sum - s.step * negated_codes_dot;
  return measure == Measure::NegativeDot ? -dot : std::max(0.0f, query_norm2 + s.norm2 - 2.0f * dot);
}

// The distance between two rows of `dim` values, from the kernels' -<c_a, c_b>.
inline float scaled_pair_distance(Measure measure, std::size_t dim, const RowScalars& a, const RowScalars& b,
                                  float negated_codes_dot) noexcept {
  const float dot = static_cast<float>(dim) * a.low * b.low + a.low * b.step * b.code_sum +
                    b.low * a.step * a.code_sum - a.step * b.step * negated_codes_dot;
  return measure == Measure::NegativeDot ? -dot : std::max(0.0f, a.norm2 + b.norm2 - 2.0f * dot);
}

}  // namespace hobrin::fast
