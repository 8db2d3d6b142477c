// The fast kernels built for aarch64's Advanced SIMD (flags set by CMake):
// one 128-bit register per accumulator, with fused multiply-add. The
// baseline variant compiles to the same instructions on aarch64; this one is
// the variant chosen there, by its own name, and the place to tune for it.
#define HOBRIN_FAST_VARIANT neon
#define HOBRIN_FAST_NAME "neon"
#define HOBRIN_FAST_VECTOR_BYTES 16
#include "hobrin_ann/kernels/kernels_body.inl"
