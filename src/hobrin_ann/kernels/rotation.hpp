#pragma once
// A random orthogonal rotation of rows of `width` values (a multiple of 64
// for int8/int4 codes, of 32 for the 1-bit edge codes), applied before codes
// are made, so that a few large components are spread over every dimension
// and one vector's step fits all of its values. Distances and dot products are unchanged by it.
//
// Each of kRounds rounds flips signs at random, then runs a normalised fast
// Walsh-Hadamard transform over a block of n values, n the largest power of
// two at most `width`: [0, n) in even rounds, [width - n, width) in odd ones.
// When n < width, each round ends by rotating every pair (x_i, x_{i+width/2})
// by 45 degrees, which mixes the two ends. Every step is orthogonal, so the
// whole map is; the signs come from a seed, so a file needs only the seed.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hobrin::fast {

class Rotation {
 public:
  static constexpr int kRounds = 3;
  // The widest row rotated: a rotated row is decoded on the stack.
  static constexpr std::size_t kMaxWidth = 4096;

  Rotation() = default;  // none: rows stay as they are
  // Throws std::bad_alloc. `width` is a multiple of 32, at most kMaxWidth.
  Rotation(std::size_t width, std::uint64_t seed);

  bool empty() const noexcept { return width_ == 0; }
  std::size_t width() const noexcept { return width_; }
  std::uint64_t seed() const noexcept { return seed_; }

  // Rotates `width` values in place, and back.
  void apply(float* x) const noexcept;
  void invert(float* x) const noexcept;

 private:
  void flip(float* x, int round) const noexcept;
  void mix(float* x) const noexcept;  // the 45-degree pairs; its own inverse

  std::size_t width_ = 0;
  std::size_t block_ = 0;  // n
  std::uint64_t seed_ = 0;
  std::vector<float> signs_;  // kRounds x block_ values of +1 or -1
};

}  // namespace hobrin::fast
