// The aarch64 variant: two stored vectors per 128-bit register, one per lane,
// and four groups of two side by side, so that eight chains of additions are
// in flight. The kernels themselves are the shared body of
// kernels_lanes-inl.hpp; this file gives it the Advanced SIMD registers.
//
// Intrinsics and plain loops only. Built without contraction like every file
// of these cores: each multiply and add below stays its own rounded step.
#include <arm_neon.h>

#include "hobrin/distance/kernel_variants.hpp"

namespace hobrin::neon_kernels {
namespace {

struct Isa {
  using Vec = float64x2_t;
  using Mask = uint64x2_t;  // each lane's 64 bits all set or all clear
  static constexpr std::size_t kLanes = 2;
  static constexpr std::size_t kGroups = 4;

  static Vec zero() { return vdupq_n_f64(0.0); }
  static Vec broadcast(double x) { return vdupq_n_f64(x); }
  static Vec load(const double* p) { return vld1q_f64(p); }
  // Reads only the lanes in the mask: the others may lie past the row's end.
  static Vec load(const double* p, Mask mask) {
    Vec v = zero();
    if (vgetq_lane_u64(mask, 0) != 0) v = vsetq_lane_f64(p[0], v, 0);
    if (vgetq_lane_u64(mask, 1) != 0) v = vsetq_lane_f64(p[1], v, 1);
    return v;
  }
  static void store(double* p, Vec v) { vst1q_f64(p, v); }
  static Vec add(Vec a, Vec b) { return vaddq_f64(a, b); }
  static Vec sub(Vec a, Vec b) { return vsubq_f64(a, b); }
  static Vec mul(Vec a, Vec b) { return vmulq_f64(a, b); }
  static Vec div(Vec a, Vec b) { return vdivq_f64(a, b); }
  static Vec sqrt(Vec a) { return vsqrtq_f64(a); }

  static Mask tail_mask(std::size_t used) {
    const uint64_t lanes[2] = {0, 1};
    return vcltq_u64(vld1q_u64(lanes), vdupq_n_u64(used));
  }

  static void transpose(Vec t[kLanes]) {
    const Vec low = vzip1q_f64(t[0], t[1]);  // position 0 of vectors 0, 1
    const Vec high = vzip2q_f64(t[0], t[1]);  // position 1
    t[0] = low;
    t[1] = high;
  }
};

}  // namespace

#include "hobrin/distance/kernels_lanes-inl.hpp"

}  // namespace hobrin::neon_kernels
