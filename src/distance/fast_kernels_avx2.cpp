// The fast kernels built for the avx2 instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx2
#define HOBRIN_FAST_NAME "avx2"
#define HOBRIN_FAST_VECTOR_BYTES 32
#include "distance/fast_kernels_body.inl"
