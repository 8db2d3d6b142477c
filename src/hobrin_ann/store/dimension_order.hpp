#pragma once
// The order in which a Euclidean index stores the dimensions: most spread
// first, judged from the first rows added. A squared distance then grows
// fastest in its first terms, so a bounded sum can stop sooner. Distances do
// not depend on the order; the index undoes it wherever a vector leaves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace hobrin::ann {

template <class T>
std::vector<std::uint32_t> order_by_spread(const T* rows, std::size_t count, std::size_t dim) {
  std::vector<std::uint32_t> order(dim);
  std::iota(order.begin(), order.end(), 0u);
  if (count < 2) return order;
  std::vector<double> mean(dim, 0.0);
  std::vector<double> squares(dim, 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) mean[j] += static_cast<double>(rows[i * dim + j]);
  }
  for (double& m : mean) m /= static_cast<double>(count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      const double d = static_cast<double>(rows[i * dim + j]) - mean[j];
      squares[j] += d * d;
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return squares[a] > squares[b]; });
  return order;
}

}  // namespace hobrin::ann
