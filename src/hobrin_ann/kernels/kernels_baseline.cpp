// The fast kernels built for the baseline instruction set (flags set by CMake).
#define HOBRIN_FAST_VARIANT baseline
#define HOBRIN_FAST_NAME "baseline"
#define HOBRIN_FAST_VECTOR_BYTES 16
#include "hobrin_ann/kernels/kernels_body.inl"
