#pragma once
// The random level of a new node, drawn from unnormalised per-layer weights.
#include <cstdint>
#include <random>
#include <span>

namespace hobrin {

// A uniform double in [0, 1) from the top 53 bits of one 64-bit output.
double uniform_unit(std::mt19937_64& rng);

// The sum of the weights, added in index order.
double weight_total(std::span<const double> weights) noexcept;

// The first index at which the running sum of the weights exceeds total * u;
// the last index when none does, and 0 when there are no weights.
std::uint64_t level_for(std::span<const double> weights, double total, double u) noexcept;

}  // namespace hobrin
