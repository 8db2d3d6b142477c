// The edge-code scan built for the plain loop, for any CPU.
#define HOBRIN_FAST_VARIANT baseline
#define HOBRIN_FAST_NAME "baseline"
#define HOBRIN_FASTSCAN_SIMD 0
#include "hobrin_ann/kernels/fastscan_body.inl"
