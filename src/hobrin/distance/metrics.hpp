#pragma once
// The three distance functions shared by both indexes. Each sum is one
// accumulator starting at +0.0, added in index order, every operation rounded on
// its own, so a result equals the same loop written in plain Python bit for bit.
#include <optional>
#include <span>
#include <string_view>

namespace hobrin {

using VectorView = std::span<const double>;
using Metric = double (*)(VectorView a, VectorView b);

// Pairwise sums cover the common prefix of unequal lengths.
double euclidean_distance(VectorView a, VectorView b) noexcept;
double dot_product(VectorView a, VectorView b) noexcept;
// The norms cover each whole vector; no zero-norm test (0/0 gives NaN).
double cosine_similarity(VectorView a, VectorView b) noexcept;
// The sum of squares of the whole vector, as cosine_similarity computes it.
double sum_of_squares(VectorView a) noexcept;

// The exact index: "inner_product", "cosine", anything else is Euclidean.
Metric flat_metric_by_name(std::optional<std::string_view> name) noexcept;
// The graph index: "euclidean", "angular", "inner_product"; nothing else.
std::optional<Metric> hnsw_metric_by_name(std::optional<std::string_view> name) noexcept;

}  // namespace hobrin
