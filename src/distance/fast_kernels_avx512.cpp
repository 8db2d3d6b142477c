// The fast kernels built for the avx512 instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx512
#define HOBRIN_FAST_NAME "avx512"
#define HOBRIN_FAST_VECTOR_BYTES 64
#include "distance/fast_kernels_body.inl"
