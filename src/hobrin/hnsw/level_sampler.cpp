#include "hobrin/hnsw/level_sampler.hpp"

namespace hobrin {

double uniform_unit(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

double weight_total(std::span<const double> weights) noexcept {
  double total = 0.0;
  for (double w : weights) total = total + w;
  return total;
}

std::uint64_t level_for(std::span<const double> weights, double total, double u) noexcept {
  const double threshold = total * u;
  double running = 0.0;
  for (std::uint64_t i = 0; i < weights.size(); ++i) {
    running = running + weights[i];
    if (running > threshold) return i;
  }
  // Rounding can leave total * u equal to the full sum; the top layer takes it.
  return weights.empty() ? 0 : weights.size() - 1;
}

}  // namespace hobrin
