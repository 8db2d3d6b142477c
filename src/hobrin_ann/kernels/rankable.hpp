#pragma once
// Kept apart from kernels.hpp, which files built for wider instruction sets
// include: an inline function there could be compiled with their flags.
namespace hobrin::fast {

// The kernels never give NaN for finite input, but sums that overflow can;
// ranked as infinitely far, a NaN keeps every comparison a strict order.
template <class T>
inline T rankable(T distance) noexcept {
  return distance == distance ? distance : __builtin_huge_val();
}

}  // namespace hobrin::fast
