// The fast kernels built for the avx2 instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx2
#define HOBRIN_FAST_NAME "avx2"
#define HOBRIN_FAST_VECTOR_BYTES 32
#include "hobrin_ann/kernels/kernels_body.inl"
