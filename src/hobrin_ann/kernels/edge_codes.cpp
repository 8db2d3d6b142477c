#include "hobrin_ann/kernels/edge_codes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace hobrin::fast {

EdgeFactors encode_edge(const float* u, const float* o, std::size_t dims, std::uint8_t* bits) noexcept {
  std::memset(bits, 0, edge_bits_bytes(dims));
  // In double: add subtracts two terms that grow with |u'|, far larger than
  // rho^2 for near neighbours of a point far from the origin.
  double rho2 = 0.0;
  double l1 = 0.0;
  double selected = 0.0;  // <b, u'>
  double total = 0.0;     // sum(u')
  // Without branches: the signs of a residual are a coin toss each, which
  // a branch per dimension would mispredict half the time.
  for (std::size_t p = 0; p < dims / 8; ++p) {
    unsigned byte = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      const std::size_t i = 8 * p + k;
      const double r = static_cast<double>(o[i]) - static_cast<double>(u[i]);
      const bool positive = r > 0.0;
      rho2 += r * r;
      l1 += std::abs(r);
      total += u[i];
      selected += positive ? static_cast<double>(u[i]) : 0.0;
      byte |= static_cast<unsigned>(positive) << k;
    }
    bits[p] = static_cast<std::uint8_t>(byte);
  }
  if (!(rho2 > 0.0) || !(l1 > 0.0) || !std::isfinite(rho2)) {
    std::memset(bits, 0, edge_bits_bytes(dims));
    return {0.0f, 0.0f, 0.0f};
  }
  const double rho = std::sqrt(rho2);
  const double root = std::sqrt(static_cast<double>(dims));
  const double alpha = l1 / (root * rho);
  const double scale = -4.0 * rho2 / l1;
  const double add = rho2 - scale * (selected - 0.5 * total);
  const double spread = std::sqrt(std::max(0.0, 1.0 - alpha * alpha)) / alpha;
  const double err = 2.0 * rho * spread / std::sqrt(static_cast<double>(dims - 1));
  return {static_cast<float>(add), static_cast<float>(scale), static_cast<float>(err)};
}

void pack_edge_lane(const std::uint8_t* bits, std::size_t dims, std::size_t lane,
                    std::uint8_t* block) noexcept {
  const std::size_t j = lane % 16;
  const unsigned shift = lane < 16 ? 0u : 4u;
  const auto keep = static_cast<std::uint8_t>(lane < 16 ? 0xf0u : 0x0fu);
  for (std::size_t p = 0; p < edge_bits_bytes(dims); ++p) {
    std::uint8_t* pair = block + 32 * p;
    const unsigned even = bits[p] & 15u;
    const unsigned odd = static_cast<unsigned>(bits[p] >> 4);
    pair[j] = static_cast<std::uint8_t>((pair[j] & keep) | (even << shift));
    pair[16 + j] = static_cast<std::uint8_t>((pair[16 + j] & keep) | (odd << shift));
  }
}

namespace {

// The first pass of prepare_edge_query: the query's step and offset, its
// tables not yet written.
EdgeQuery edge_query_step(const float* q, std::size_t dims, std::uint8_t* tables) noexcept {
  // A table's least entry is the sum of its negative values, its greatest
  // the sum of its positive ones; one step serves the widest table. Without
  // a branch per value: signs of rotated values are a coin toss each.
  float widest = 0.0f;
  double beta = 0.0;
  double sum = 0.0;
  for (std::size_t m = 0; m < dims / 4; ++m) {
    const float* v = q + 4 * m;
    float low = 0.0f;
    float high = 0.0f;
    for (std::size_t k = 0; k < 4; ++k) {
      low += v[k] < 0.0f ? v[k] : 0.0f;
      high += v[k] < 0.0f ? 0.0f : v[k];
    }
    widest = std::max(widest, high - low);
    beta += low;
    sum += static_cast<double>(high) + static_cast<double>(low);  // one long chain per table, not per value
  }
  return {tables, dims, widest / 255.0f, static_cast<float>(beta - 0.5 * sum)};
}

}  // namespace

EdgeQuery prepare_edge_query(const float* q, std::size_t dims, std::uint8_t* tables) noexcept {
  const EdgeQuery query = edge_query_step(q, dims, tables);
  const float inverse = query.delta > 0.0f ? 1.0f / query.delta : 0.0f;
  for (std::size_t m = 0; m < dims / 4; ++m) {
    const float* v = q + 4 * m;
    // Each entry adds one value to the entry without its lowest bit.
    float entry[16];
    entry[0] = 0.0f;
    for (unsigned x = 1; x < 16; ++x) entry[x] = entry[x & (x - 1)] + v[std::countr_zero(x)];
    const float low =
        std::min(v[0], 0.0f) + std::min(v[1], 0.0f) + std::min(v[2], 0.0f) + std::min(v[3], 0.0f);
    std::uint8_t* table = tables + 16 * m;
    for (unsigned x = 0; x < 16; ++x) {
      // Rounded to nearest; clamped, as the sums' rounding may pass 255 by a
      // hair (and a value that is not a number, which no caller should pass,
      // becomes 0 rather than an undefined conversion).
      const float level = (entry[x] - low) * inverse + 0.5f;
      table[x] = level > 0.0f ? static_cast<std::uint8_t>(std::min(level, 255.0f)) : std::uint8_t{0};
    }
  }
  return query;
}

}  // namespace hobrin::fast
