#include "hobrin_ann/kernels/rotation.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace hobrin::fast {
namespace {

// A fixed, portable stream of 64-bit values from a seed (splitmix64).
std::uint64_t next(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Four floats, for the passes of the transform that pair runs of four.
typedef float Floats4 __attribute__((vector_size(16)));

// The normalised Walsh-Hadamard transform of n values (a power of two) in
// place. The butterflies are the textbook passes', in the same order per
// value, so the result is theirs bit for bit: the first two passes on runs
// of four values held in registers, the rest four values at a time.
void hadamard(float* x, std::size_t n) noexcept {
  if (n == 2) {
    const float a = x[0], b = x[1];
    x[0] = a + b;
    x[1] = a - b;
  }
  if (n >= 4) {
    for (std::size_t start = 0; start < n; start += 4) {
      float* v = x + start;
      const float a0 = v[0] + v[1], a1 = v[0] - v[1], a2 = v[2] + v[3], a3 = v[2] - v[3];
      v[0] = a0 + a2;
      v[1] = a1 + a3;
      v[2] = a0 - a2;
      v[3] = a1 - a3;
    }
  }
  for (std::size_t half = 4; half < n; half *= 2) {
    for (std::size_t start = 0; start < n; start += 2 * half) {
      for (std::size_t i = start; i < start + half; i += 4) {
        Floats4 a, b;
        std::memcpy(&a, x + i, sizeof a);
        std::memcpy(&b, x + i + half, sizeof b);
        const Floats4 sum = a + b, difference = a - b;
        std::memcpy(x + i, &sum, sizeof sum);
        std::memcpy(x + i + half, &difference, sizeof difference);
      }
    }
  }
  const float scale = 1.0f / std::sqrt(static_cast<float>(n));
  for (std::size_t i = 0; i < n; ++i) x[i] *= scale;
}

}  // namespace

Rotation::Rotation(std::size_t width, std::uint64_t seed)
    : width_(width), block_(std::bit_floor(width)), seed_(seed), signs_(kRounds * block_) {
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < signs_.size(); i += 64) {
    const std::uint64_t bits = next(state);
    for (std::size_t b = 0; b < 64 && i + b < signs_.size(); ++b)
      signs_[i + b] = (bits >> b) & 1 ? -1.0f : 1.0f;
  }
}

void Rotation::flip(float* x, int round) const noexcept {
  const float* signs = signs_.data() + static_cast<std::size_t>(round) * block_;
  for (std::size_t i = 0; i < block_; ++i) x[i] *= signs[i];
}

void Rotation::mix(float* x) const noexcept {
  if (block_ == width_) return;
  const std::size_t half = width_ / 2;
  const float r = std::sqrt(0.5f);
  for (std::size_t i = 0; i < half; ++i) {
    const float a = x[i];
    const float b = x[i + half];
    x[i] = r * (a + b);
    x[i + half] = r * (a - b);
  }
}

void Rotation::apply(float* x) const noexcept {
  for (int round = 0; round < kRounds; ++round) {
    float* block = x + (round % 2 == 0 ? 0 : width_ - block_);
    flip(block, round);
    hadamard(block, block_);
    mix(x);
  }
}

void Rotation::invert(float* x) const noexcept {
  for (int round = kRounds - 1; round >= 0; --round) {
    float* block = x + (round % 2 == 0 ? 0 : width_ - block_);
    mix(x);
    hadamard(block, block_);
    flip(block, round);
  }
}

}  // namespace hobrin::fast
