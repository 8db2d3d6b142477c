#pragma once
// Distances for the scalable graph index (hobrin_ann.Index). Unlike the
// kernels of PyFlat and PyHNSW, these may reorder a sum: they keep several
// accumulators and use fused multiply-add where the CPU has it, so results
// can differ from a plain loop in the last bits.
//
// Rows are stored padded with zeros to a whole number of 64-byte blocks and
// aligned to 64 bytes, and queries are copied into the same shape, so no
// kernel needs a tail loop.
#include <cstddef>
#include <cstdint>

namespace hobrin::fast {

inline constexpr std::size_t kBlockBytes = 64;

// Values of T per row of `dim` values once padded to whole blocks.
template <class T>
constexpr std::size_t padded_length(std::size_t dim) noexcept {
  constexpr std::size_t per_block = kBlockBytes / sizeof(T);
  return (dim + per_block - 1) / per_block * per_block;
}

// What the graph ranks by: the squared Euclidean distance, or the negated dot
// product (cosine runs on unit vectors, so it is the dot product too).
enum class Measure { SquaredEuclidean, NegativeDot };

// out[i] = distance(query, base + nodes[i] * stride) for i below count; the
// next row is prefetched while one is scored. A squared Euclidean distance
// above `bound` may stop early, giving some value above `bound` instead
// (pass infinity for exact values); negated dot products ignore it.
template <class T>
using BatchDistance = void (*)(const T* query, const T* base, std::size_t stride, const std::uint32_t* nodes,
                               std::size_t count, std::size_t padded_dim, T bound, T* out) noexcept;
// The distance between two padded rows.
template <class T>
using PairDistance = T (*)(const T* a, const T* b, std::size_t padded_dim) noexcept;

// Every query of a block against every listed row, the way a matrix product
// works: out[q * count + i] is a lower bound of the distance PairDistance
// gives queries[q] and the row base + nodes[i] * stride, close enough to rank
// by. A tile of queries x rows of dot products is summed in registers, so
// each row read serves several queries and each query read several rows;
// squared Euclidean distances come from the squared norms, |q|^2 + |x|^2 -
// 2 q.x, whose rounding grows with the norms rather than the distance, so the
// bound is the value less a margin for that rounding. A scan scores exactly
// (PairDistance) only the rows whose bound could enter its results.
template <class T>
using BlockDistance = void (*)(const T* const* queries, std::size_t query_count, const T* base,
                               std::size_t stride, const std::uint32_t* nodes, std::size_t count,
                               std::size_t padded_dim, T* out) noexcept;

template <class T>
struct FastKernels {
  const char* variant;  // "baseline", "avx2", "avx512" or "neon"
  BatchDistance<T> batch;
  PairDistance<T> pair;
  BlockDistance<T> block;
};

// The kernels for `measure` of the widest variant this CPU runs well.
template <class T>
FastKernels<T> fast_kernels(Measure measure) noexcept;

// The kernels of one variant by name, or a set with null functions when the
// CPU cannot run it (for tests that compare variants).
template <class T>
FastKernels<T> fast_kernels(Measure measure, const char* variant) noexcept;

// Whether each of `count` values lies in [-limit, limit], none of them NaN:
// one pass without a branch in the loop, which the compiler vectorizes (the
// check of every batch a caller adds or searches with).
template <class T>
bool all_within(const T* values, std::size_t count, T limit) noexcept {
  unsigned outside = 0;
  for (std::size_t i = 0; i < count; ++i) {
    outside |= static_cast<unsigned>(!((values[i] <= limit) & (values[i] >= -limit)));
  }
  return outside == 0;
}

}  // namespace hobrin::fast
