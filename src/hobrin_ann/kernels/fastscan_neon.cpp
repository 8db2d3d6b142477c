// The edge-code scan built for aarch64's Advanced SIMD (table lookups of 16 bytes).
#define HOBRIN_FAST_VARIANT neon
#define HOBRIN_FAST_NAME "neon"
#define HOBRIN_FASTSCAN_SIMD 1
#include "hobrin_ann/kernels/fastscan_body.inl"
