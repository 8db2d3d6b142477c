// The fast kernels built for the baseline instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT baseline
#define HOBRIN_FAST_NAME "baseline"
#define HOBRIN_FAST_VECTOR_BYTES 16
#include "distance/fast_kernels_body.inl"
