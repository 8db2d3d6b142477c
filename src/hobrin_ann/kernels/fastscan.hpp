#pragma once
// The scan of a block of 32 neighbours' 1-bit codes (edge_codes.hpp): for
// each lane, the sum over sub-codes m of table m's byte at that lane's
// sub-code. A byte shuffle looks up 16 (SSE/NEON lane) codes in one table
// at once, so a block costs dims / 8 loads of 32 bytes and two shuffles per
// load, whatever the number of live lanes.
//
// Sums are kept in 16-bit lanes, which are exact for 128 pairs of sub-codes
// (255 * 256 < 2^16 per lane), and drained into 32-bit sums every 128 pairs
// (1024 dimensions), so any width is exact. On AVX2 the 16-bit lanes are
// summed without unpacking: a shuffle's 32 bytes are read as 16 words
// (even byte + 256 * odd byte); one sum adds the words, another the words
// shifted right by 8 (the odd bytes), and the even bytes' sum is the first
// less 256 times the second, exact modulo 2^16.
//
// Measured (the disabled FastScanSpeed test, a shared Zen 4 machine), ns per
// block of 32 with the epilogue, warm / cold, against 32 float32 rows at random:
//   384 dims: AVX2 57-63 / 180-230, AVX-512 50-51 / 160-200; float32 720-800
//   800 dims: AVX2 103-105 / 430-530, AVX-512 92-95 / 360-520; float32 1500-2400
#include <cstddef>
#include <cstdint>

#include "hobrin_ann/kernels/edge_codes.hpp"

namespace hobrin::fast {

// sums[i] = the sum of lane i's table bytes over a block (32 values).
using EdgeSums = void (*)(const std::uint8_t* tables, const std::uint8_t* block, std::size_t dims,
                          std::uint32_t* sums) noexcept;

// The 32 estimates of a block (see edge_codes.hpp), add[i] and scale[i] the
// factors of lane i (HalfFactor), g the exact distance to the block's node:
//   out[i] = add[i] + g + scale[i] * (delta * acc_i + offset).
// Returns the mask of lanes that are set in `live` and estimated below
// `threshold` (bit i for lane i).
using EdgeEstimates = std::uint32_t (*)(const EdgeQuery& query, const std::uint8_t* block,
                                        const HalfFactor* add, const HalfFactor* scale, float g,
                                        float threshold, std::uint32_t live, float* out) noexcept;

// The query's tables, step and offset, as prepare_edge_query makes them.
// AVX2 and AVX-512 build eight tables at a time: an entry within a hair of
// a half step may round the other way (they fuse the multiply and the
// add), and the offset is summed in another order.
using EdgeTables = EdgeQuery (*)(const float* q, std::size_t dims, std::uint8_t* tables) noexcept;

struct FastScanKernels {
  const char* variant;  // "baseline", "avx2", "avx512" or "neon"
  EdgeSums sums;
  EdgeEstimates estimates;
  EdgeTables tables;
};

// The kernels of the variant the float kernels use (AVX-512 only where the
// CPU also has its byte and word instructions; AVX2 otherwise).
FastScanKernels fastscan_kernels() noexcept;
// The kernels of one variant by name, or nulls when the CPU cannot run it.
FastScanKernels fastscan_kernels(const char* variant) noexcept;

}  // namespace hobrin::fast
