// The block kernel of the scans against a plain loop, in every variant the
// CPU runs, over the edges of its tiles.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/store/rows.hpp"

namespace hobrin::fast {
namespace {

template <class T>
ann::VectorRows<T> random_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
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
// variant's tile shape; rows are listed out of order and with repeats.
template <class T>
void agrees_with_a_plain_loop(const char* variant, Measure measure, double tolerance) {
  const auto kernels = fast_kernels<T>(measure, variant);
  if (kernels.block == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  for (std::size_t dim : {1u, 9u, 33u, 100u}) {
    const auto rows = random_rows<T>(23, dim, 11);
    const auto query_rows = random_rows<T>(9, dim, 12);
    for (std::size_t queries = 1; queries <= 9; ++queries) {
      for (std::size_t count : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 13u, 23u}) {
        std::vector<const T*> q(queries);
        for (std::size_t i = 0; i < queries; ++i) q[i] = query_rows.row(static_cast<std::uint32_t>(i));
        std::vector<std::uint32_t> nodes(count);
        for (std::size_t i = 0; i < count; ++i) nodes[i] = static_cast<std::uint32_t>((i * 7 + 3) % 23);
        std::vector<T> out(queries * count, T{-1});
        kernels.block(q.data(), queries, rows.base(), rows.stride(), nodes.data(), count, rows.stride(),
                      out.data());
        for (std::size_t i = 0; i < queries; ++i) {
          for (std::size_t r = 0; r < count; ++r) {
            const double expected = plain(q[i], rows.row(nodes[r]), dim, measure);
            ASSERT_NEAR(out[i * count + r], expected, tolerance * (1 + std::abs(expected)))
                << "dim " << dim << ", " << queries << " x " << count << ", at " << i << ", " << r;
          }
        }
      }
    }
  }
}

TEST_P(BlockKernel, AgreesWithAPlainLoopInFloat) {
  agrees_with_a_plain_loop<float>(std::get<0>(GetParam()), std::get<1>(GetParam()), 1e-5);
}

TEST_P(BlockKernel, AgreesWithAPlainLoopInDouble) {
  agrees_with_a_plain_loop<double>(std::get<0>(GetParam()), std::get<1>(GetParam()), 1e-12);
}

// A scan breaks ties by node, so equal rows must score equally wherever they
// fall in a tile: one row listed many times gives one value per query.
TEST_P(BlockKernel, EqualRowsScoreEquallyInEveryPlaceOfATile) {
  const auto [variant, measure] = GetParam();
  const auto kernels = fast_kernels<float>(measure, variant);
  if (kernels.block == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  const auto rows = random_rows<float>(2, 300, 5);
  const std::vector<const float*> q(7, rows.row(1));
  const std::vector<std::uint32_t> nodes(29, 0);
  std::vector<float> out(q.size() * nodes.size());
  kernels.block(q.data(), q.size(), rows.base(), rows.stride(), nodes.data(), nodes.size(), rows.stride(),
                out.data());
  for (float v : out) ASSERT_EQ(v, out[0]);
}

INSTANTIATE_TEST_SUITE_P(All, BlockKernel,
                         ::testing::Combine(::testing::Values("baseline", "avx2", "avx512"),
                                            ::testing::Values(Measure::SquaredEuclidean,
                                                              Measure::NegativeDot)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) == Measure::SquaredEuclidean ? "_l2" : "_dot");
                         });

}  // namespace
}  // namespace hobrin::fast
