#include "hobrin_ann/kernels/rotation.hpp"

#include <bit>
#include <cmath>

namespace hobrin::fast {
namespace {

// A fixed, portable stream of 64-bit values from a seed (splitmix64).
std::uint64_t next(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The normalised Walsh-Hadamard transform of n values (a power of two) in place.
void hadamard(float* x, std::size_t n) noexcept {
  for (std::size_t half = 1; half < n; half *= 2) {
    for (std::size_t start = 0; start < n; start += 2 * half) {
      for (std::size_t i = start; i < start + half; ++i) {
        const float a = x[i];
        const float b = x[i + half];
        x[i] = a + b;
        x[i + half] = a - b;
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
