#pragma once
// 1-bit codes of a node's neighbours, kept in the node's own block so that a
// walk scores all 32 of them at once from one table lookup pass
// (fastscan.hpp), without reading the neighbours' rows.
//
// Everything is in rotated space: u' and o' are the node and its neighbour
// after a random orthogonal rotation, zero-padded to `dims` (a multiple of
// 32). The code of the edge u -> o is its residual r' = o' - u' reduced to
// its signs b_i = [r'_i > 0]. With rho = |r'|, s' = q' - u' and the unit
// vector o_bar = (2b - 1) / sqrt(dims), alpha = <o_bar, r'/rho> =
// |r'|_1 / (sqrt(dims) rho) is close to 0.8, and <o_bar, s'> / alpha is an
// unbiased estimate of <r'/rho, s'> over the random rotation. Hence
//   |o - q|^2 ~ rho^2 + G - 2 rho <o_bar, s'> / alpha,   G = |q - u|^2,
// which, with every term that does not depend on the query folded into two
// floats per edge, is
//   est = add + G + scale * (<b, q'> - sum(q') / 2)
//   scale = -4 rho / (alpha sqrt(dims)) = -4 rho^2 / |r'|_1
//   add   = rho^2 - scale * (<b, u'> - sum(u') / 2).
// G is the exact distance a walk computes anyway when it expands u. With
// probability about 1 - 2 exp(-c eps0^2), |est - |o - q|^2| <= eps0 * err *
// sqrt(G), err = 2 rho sqrt(1 - alpha^2) / (alpha sqrt(dims - 1)); the
// normalised error is close to a standard normal, so eps0 counts standard
// deviations (about 6% of estimates fall outside at eps0 = 1.9).
//
// <b, q'> comes from tables of the query: dimensions are taken four at a
// time, sub-code m = b_4m | b_4m+1 << 1 | b_4m+2 << 2 | b_4m+3 << 3, and
// table m holds, for each of the 16 sub-codes, the sum of the query values
// its bits select. Tables are quantized to bytes: entry = round((sum -
// least_m) / delta) with one delta for all tables, so <b, q'> ~ delta * acc +
// beta, beta = sum_m least_m, where acc is the sum of the looked-up bytes.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace hobrin::fast {

// Neighbours per block of codes, scored together.
inline constexpr std::size_t kEdgeLanes = 32;

// The rotated width of edge codes: `dim` rounded up to a multiple of 32
// (at least 32). The padding is zero before the rotation.
constexpr std::size_t edge_code_dims(std::size_t dim) noexcept {
  return dim == 0 ? 32 : (dim + 31) / 32 * 32;
}

// One neighbour's sign bits: dims / 8 bytes, bit i of byte i / 8 for
// dimension i, so byte p holds sub-codes 2p (low half) and 2p + 1.
constexpr std::size_t edge_bits_bytes(std::size_t dims) noexcept { return dims / 8; }

// A block of 32 neighbours' codes: 4 * dims bytes. For each pair of
// sub-codes (2p, 2p + 1), 32 bytes: byte j < 16 holds sub-code 2p of lane j
// in its low half and of lane j + 16 in its high half, byte 16 + j the same
// for sub-code 2p + 1. One 32-byte load then feeds two byte shuffles (the
// low and the high halves) against tables 2p and 2p + 1 side by side.
constexpr std::size_t edge_block_bytes(std::size_t dims) noexcept { return 4 * dims; }

// The query's tables: dims / 4 tables of 16 bytes, 4 * dims bytes.
constexpr std::size_t edge_table_bytes(std::size_t dims) noexcept { return 4 * dims; }

// The folded factors of one edge (see the top of this file). A neighbour
// equal to its node (rho = 0) gets all zeros: its estimate is G, exactly.
struct EdgeFactors {
  float add;
  float scale;
  float err;  // the error bound per unit of eps0 and of sqrt(G)
};

// Factors as a block keeps them, in 16 bits: a float's sign, its 8 bits of
// exponent and the top 7 of its mantissa (bfloat16), rounded to nearest.
// They keep a float's range (pixel data puts add near 10^7) at a relative
// error of 2^-8 at most, well inside the estimate's own: on Fashion-MNIST
// (m 16, ef_construction 200) recall@10 at ef 24 and 32 is 0.9895 and
// 0.9947 with them, 0.9898 and 0.9943 with float factors. Zero stays zero
// and nothing else becomes it: a zero scale marks a neighbour equal to its
// node.
using HalfFactor = std::uint16_t;
constexpr HalfFactor half_factor(float v) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(v);
  if (v != v) return 0x7fc0;  // NaN: the sum below could carry out of it
  const auto half = static_cast<HalfFactor>((bits + 0x7fffu + ((bits >> 16) & 1u)) >> 16);
  return (half & 0x7fffu) == 0 && (bits & 0x7fffffffu) != 0 ? static_cast<HalfFactor>(half | 1u) : half;
}
constexpr float factor_value(HalfFactor h) noexcept { return std::bit_cast<float>(std::uint32_t{h} << 16); }

// Encodes the edge u -> o from the rotated, padded rows (dims values each):
// writes edge_bits_bytes(dims) bytes of signs to `bits` and returns the
// factors. Values are finite.
EdgeFactors encode_edge(const float* u, const float* o, std::size_t dims, std::uint8_t* bits) noexcept;

// Writes one neighbour's bits into lane `lane` (below 32) of a block,
// leaving the other lanes as they are. All-zero bits clear the lane.
void pack_edge_lane(const std::uint8_t* bits, std::size_t dims, std::size_t lane,
                    std::uint8_t* block) noexcept;

// A query prepared for the scan of edge codes.
struct EdgeQuery {
  const std::uint8_t* tables;  // edge_table_bytes(dims) bytes
  std::size_t dims;
  float delta;   // what one unit of a table entry is worth
  float offset;  // beta - sum(q') / 2: est = add + G + scale * (delta * acc + offset)
};

// Builds the tables of a rotated, padded query q' (dims values, finite)
// into `tables` and returns the query that points at them.
EdgeQuery prepare_edge_query(const float* q, std::size_t dims, std::uint8_t* tables) noexcept;

}  // namespace hobrin::fast
