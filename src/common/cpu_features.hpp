#pragma once
// Which instruction sets this CPU runs, for the kernels of both products:
// each product compiles one variant of its kernels per level of the target
// architecture and picks the one chosen here, once per process.
namespace hobrin {

// Baseline runs on every CPU of the architecture. AVX2 and AVX512 are the
// x86-64 levels; NEON is the aarch64 one (every aarch64 CPU has it).
enum class SimdLevel { Baseline, AVX2, AVX512, NEON };

// Whether this CPU (and its operating system, which must save the wide
// registers) runs code compiled for `level`. Always false for a level of
// another architecture.
bool cpu_runs(SimdLevel level) noexcept;

// The widest level this CPU runs well, or Baseline in a build configured with
// HOBRIN_FORCE_SCALAR. Chosen on first use.
SimdLevel preferred_simd_level() noexcept;

}  // namespace hobrin
