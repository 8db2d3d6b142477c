// The fast kernels built for the avx512 instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx512
#define HOBRIN_FAST_NAME "avx512"
#define HOBRIN_FAST_VECTOR_BYTES 64
#include "hobrin_ann/kernels/kernels_body.inl"
