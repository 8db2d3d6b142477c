#include "hobrin/distance/metrics.hpp"

#include <algorithm>
#include <cmath>

namespace hobrin {

double sum_of_squares(VectorView a) noexcept {
  double s = 0.0;
  for (double x : a) s = s + x * x;
  return s;
}

double euclidean_distance(VectorView a, VectorView b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = a[i] - b[i];
    s = s + d * d;
  }
  return std::sqrt(s);
}

double dot_product(VectorView a, VectorView b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

double cosine_similarity(VectorView a, VectorView b) noexcept {
  const double dot = dot_product(a, b);
  return dot / (std::sqrt(sum_of_squares(a)) * std::sqrt(sum_of_squares(b)));
}

Metric flat_metric_by_name(std::optional<std::string_view> name) noexcept {
  if (name == "inner_product") return dot_product;
  if (name == "cosine") return cosine_similarity;
  return euclidean_distance;
}

std::optional<Metric> hnsw_metric_by_name(std::optional<std::string_view> name) noexcept {
  if (name == "euclidean") return euclidean_distance;
  if (name == "angular") return cosine_similarity;
  if (name == "inner_product") return dot_product;
  return std::nullopt;
}

}  // namespace hobrin
