#pragma once
// Which instruction sets this CPU runs, for the kernels of both products:
// each product compiles one variant of its kernels per level and picks the
// one chosen here, once per process.
namespace hobrin {

enum class SimdLevel { Baseline, AVX2, AVX512 };

// Whether this CPU (and its operating system, which must save the wide
// registers) runs code compiled for `level`.
bool cpu_runs(SimdLevel level) noexcept;

// The widest level this CPU runs well, or Baseline in a build configured with
// HOBRIN_FORCE_SCALAR. Chosen on first use.
SimdLevel preferred_simd_level() noexcept;

}  // namespace hobrin
