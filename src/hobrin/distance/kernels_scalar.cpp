// The scalar variant: the pairwise functions called once per stored vector.
// It runs on every CPU and is the plain path the SIMD variants are measured
// and tested against.
#include "hobrin/distance/kernel_variants.hpp"
#include "hobrin/distance/metrics.hpp"

namespace hobrin::scalar_kernels {

void euclidean(const double* query, double, const double* const* rows, std::size_t dim, std::size_t count,
               double* out) noexcept {
  const VectorView q(query, dim);
  for (std::size_t i = 0; i < count; ++i) out[i] = euclidean_distance(q, VectorView(rows[i], dim));
}

void dot(const double* query, double, const double* const* rows, std::size_t dim, std::size_t count,
         double* out) noexcept {
  const VectorView q(query, dim);
  for (std::size_t i = 0; i < count; ++i) out[i] = dot_product(q, VectorView(rows[i], dim));
}

void cosine(const double* query, double, const double* const* rows, std::size_t dim, std::size_t count,
            double* out) noexcept {
  const VectorView q(query, dim);
  for (std::size_t i = 0; i < count; ++i) out[i] = cosine_similarity(q, VectorView(rows[i], dim));
}

}  // namespace hobrin::scalar_kernels
