// The edge-code scan built for AVX2 (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx2
#define HOBRIN_FAST_NAME "avx2"
#define HOBRIN_FASTSCAN_SIMD 2
#include "hobrin_ann/kernels/fastscan_body.inl"
