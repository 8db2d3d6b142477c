#pragma once
// The entry points of each kernel variant. This header is included by files
// compiled with instruction-set flags of their own, so it declares functions
// only: an inline function or template defined here would be compiled once per
// instruction set, and the linker could keep an AVX copy for every caller.
#include <cstddef>

namespace hobrin {

// Distances from `query` (dim values) to each of the `count` stored vectors
// rows[0] .. rows[count - 1] (dim values each), written to out[0 .. count - 1].
// `query_sum_of_squares` is the query's sum of squares as the scalar loop
// computes it; only the cosine kernels read it.
using BatchKernel = void (*)(const double* query, double query_sum_of_squares, const double* const* rows,
                             std::size_t dim, std::size_t count, double* out) noexcept;

struct KernelSet {
  const char* name;
  std::size_t in_step;  // how many stored vectors the kernels read side by side
  BatchKernel euclidean;
  BatchKernel dot;
  BatchKernel cosine;
};

namespace scalar_kernels {
void euclidean(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void dot(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void cosine(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
}  // namespace scalar_kernels

namespace avx2_kernels {
void euclidean(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void dot(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void cosine(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
}  // namespace avx2_kernels

namespace avx512_kernels {
void euclidean(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void dot(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void cosine(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
}  // namespace avx512_kernels

namespace neon_kernels {
void euclidean(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void dot(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
void cosine(const double*, double, const double* const*, std::size_t, std::size_t, double*) noexcept;
}  // namespace neon_kernels

}  // namespace hobrin
