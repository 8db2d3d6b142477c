// The edge-code scan built for AVX-512 with its byte and word instructions (flags set by CMake).
#define HOBRIN_FAST_VARIANT avx512
#define HOBRIN_FAST_NAME "avx512"
#define HOBRIN_FASTSCAN_SIMD 3
#include "hobrin_ann/kernels/fastscan_body.inl"
