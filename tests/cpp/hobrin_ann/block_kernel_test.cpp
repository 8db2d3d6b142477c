// The block kernel of the scans, in every variant the CPU runs, over the
// edges of its tiles: a lower bound of the pair kernel's distance, and near
// a plain loop's (within the rounding of sums as large as the norms).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/store/rows.hpp"

namespace hobrin::fast {
namespace {

template <class T>
ann::VectorRows<T> random_rows(std::size_t n, std::size_t dim, unsigned seed, double offset = 0.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(offset, 1.0);
  ann::VectorRows<T> rows(dim);
  rows.reserve(n);
  std::vector<T> row(dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (T& v : row) v = static_cast<T>(normal(rng));
    rows.append(row.data(), false);
  }
  return rows;
}

template <class T>
double plain(const T* a, const T* b, std::size_t dim, Measure measure) {
  double sum = 0;
  for (std::size_t j = 0; j < dim; ++j) {
    const double x = a[j], y = b[j];
    sum += measure == Measure::SquaredEuclidean ? (x - y) * (x - y) : -x * y;
  }
  return sum;
}

using Case = std::tuple<const char*, Measure>;
class BlockKernel : public ::testing::TestWithParam<Case> {};

// Query and row counts cover whole tiles and every remainder of each
// variant's tile shapes: the dot-product form's (few queries) and the panel
// form's (queries in tiles of up to 12 and groups of 256, rows in panels of
// up to 32, dimensions in slices of 128 to 512 values). Rows are listed out
// of order and with repeats. With an offset far from the spread, the norms
// dwarf the distances.
template <class T>
void bounds_the_pair_kernel(const char* variant, Measure measure, double offset) {
  const auto kernels = fast_kernels<T>(measure, variant);
  if (kernels.block == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  struct Shape {
    std::size_t dim;
    std::vector<std::size_t> queries;
    std::vector<std::size_t> counts;
  };
  const std::vector<std::size_t> few{1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 24, 25};
  const std::vector<Shape> shapes{{1, few, {1, 2, 3, 4, 5, 7, 13, 23}},
                                  {9, few, {1, 2, 3, 4, 5, 7, 13, 23}},
                                  {33, few, {1, 3, 8, 9, 16, 17, 31, 33, 64, 70}},
                                  {100, {1, 5, 6, 7, 12, 13, 29, 257, 300}, {1, 5, 17, 33, 40}},
                                  {600, {1, 6, 13, 40}, {3, 16, 35}}};
  for (const Shape& shape : shapes) {
    const std::size_t dim = shape.dim;
    const auto rows = random_rows<T>(71, dim, 11, offset);
    const auto query_rows = random_rows<T>(300, dim, 12, offset);
    const double slack = 2.0 * static_cast<double>(rows.stride() + 256) * std::numeric_limits<T>::epsilon();
    for (std::size_t queries : shape.queries) {
      for (std::size_t count : shape.counts) {
        std::vector<const T*> q(queries);
        for (std::size_t i = 0; i < queries; ++i) q[i] = query_rows.row(static_cast<std::uint32_t>(i));
        std::vector<std::uint32_t> nodes(count);
        for (std::size_t i = 0; i < count; ++i) nodes[i] = static_cast<std::uint32_t>((i * 7 + 3) % 71);
        std::vector<T> out(queries * count, T{-1});
        kernels.block(q.data(), queries, rows.base(), rows.stride(), nodes.data(), count, rows.stride(),
                      out.data());
        for (std::size_t i = 0; i < queries; ++i) {
          for (std::size_t r = 0; r < count; ++r) {
            const T* x = rows.row(nodes[r]);
            const double norms =
                -plain(q[i], q[i], dim, Measure::NegativeDot) - plain(x, x, dim, Measure::NegativeDot);
            const double expected = plain(q[i], x, dim, measure);
            const T bound = out[i * count + r];
            ASSERT_LE(bound, kernels.pair(q[i], x, rows.stride()))
                << "dim " << dim << ", " << queries << " x " << count << ", at " << i << ", " << r;
            ASSERT_GE(bound, expected - slack * norms - 1e-12)
                << "dim " << dim << ", " << queries << " x " << count << ", at " << i << ", " << r;
          }
        }
      }
    }
  }
}

TEST_P(BlockKernel, BoundsThePairKernelInFloat) {
  bounds_the_pair_kernel<float>(std::get<0>(GetParam()), std::get<1>(GetParam()), 0.0);
  bounds_the_pair_kernel<float>(std::get<0>(GetParam()), std::get<1>(GetParam()), 300.0);
}

TEST_P(BlockKernel, BoundsThePairKernelInDouble) {
  bounds_the_pair_kernel<double>(std::get<0>(GetParam()), std::get<1>(GetParam()), 0.0);
  bounds_the_pair_kernel<double>(std::get<0>(GetParam()), std::get<1>(GetParam()), 1e6);
}

INSTANTIATE_TEST_SUITE_P(All, BlockKernel,
                         ::testing::Combine(::testing::Values("baseline", "avx2", "avx512"),
                                            ::testing::Values(Measure::SquaredEuclidean,
                                                              Measure::NegativeDot)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param)) +
                                  (std::get<1>(test.param) == Measure::SquaredEuclidean ? "_l2" : "_dot");
                         });

}  // namespace
}  // namespace hobrin::fast
