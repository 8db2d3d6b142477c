// Every kernel variant this CPU runs, against the pairwise metric functions,
// bit for bit: every dimension up to 40 and some larger ones that are not
// multiples of a lane count, batches of every size around the lane and group
// widths, stored vectors met in any order and more than once, and the values
// at which a reordered or fused sum would show (signed zeros, infinities, NaN,
// subnormals, squares that overflow or underflow).
#include "hobrin/distance/kernels.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace hobrin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The exact bits of a number. A NaN is only a NaN: which operand's sign and
// payload an operation on two NaNs passes on is up to the compiler's operand
// order, and the scalar functions themselves differ in it between positions.
std::uint64_t bits(double x) {
  return std::isnan(x) ? std::uint64_t{0x7FF8'0000'0000'0000} : std::bit_cast<std::uint64_t>(x);
}

struct MetricCase {
  const char* name;
  Metric metric;
};
const MetricCase kMetrics[] = {
    {"euclidean", euclidean_distance}, {"dot", dot_product}, {"cosine", cosine_similarity}};

enum class Values { Gaussian, Magnitudes, Special };

double draw(std::mt19937_64& rng, Values kind) {
  static const double special[] = {0.0,
                                   -0.0,
                                   kInf,
                                   -kInf,
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::bit_cast<double>(std::uint64_t{0xFFF8'0000'0000'1234}),
                                   1.0,
                                   -2.5,
                                   1e308,
                                   -1e308,
                                   1e154,
                                   1e-160,
                                   1e-308,
                                   5e-324,
                                   -5e-324,
                                   3.0,
                                   0.1};
  switch (kind) {
    case Values::Gaussian: return std::normal_distribution<double>()(rng);
    case Values::Magnitudes:
      // Mixed exponents: any change in the order of the sums shows in the result.
      return std::uniform_real_distribution<double>(-1, 1)(rng) *
             std::pow(10.0, std::uniform_int_distribution<int>(-30, 30)(rng));
    case Values::Special: break;
  }
  const std::size_t n = sizeof(special) / sizeof(special[0]);
  // Mostly ordinary values, so that a vector is not NaN from its first position.
  if (std::uniform_int_distribution<int>(0, 3)(rng) != 0) return double(int(rng() % 7) - 3);
  return special[rng() % n];
}

std::vector<std::vector<double>> vectors(std::size_t count, std::size_t dim, Values kind,
                                         std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<double>> out(count, std::vector<double>(dim));
  for (auto& v : out)
    for (double& x : v) x = draw(rng, kind);
  return out;
}

// Scores `rows` (indexes into `stored`) with the kernel and checks each
// distance against the pairwise function.
void expect_pairwise(const KernelSet& kernels, const MetricCase& m, VectorView query,
                     const std::vector<std::vector<double>>& stored, const std::vector<std::size_t>& rows,
                     const std::string& where) {
  const std::size_t dim = query.size();
  std::vector<const double*> pointers;
  for (std::size_t r : rows) pointers.push_back(stored[r].data());
  std::vector<double> out(rows.size() + 1, 12345.0);
  BatchScorer(m.metric, query, dim, kernels).score(pointers.data(), rows.size(), out.data());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double want = m.metric(query, stored[rows[i]]);
    ASSERT_EQ(bits(out[i]), bits(want))
        << where << " " << m.name << " row " << i << ": " << out[i] << " vs " << want;
  }
  ASSERT_EQ(out[rows.size()], 12345.0) << where << ": written past the batch";
}

class Kernels : public ::testing::TestWithParam<std::tuple<KernelVariant, Values>> {
 protected:
  void SetUp() override {
    kernels_ = kernel_set(std::get<0>(GetParam()));
    if (kernels_ == nullptr) GTEST_SKIP() << "this CPU does not run the variant";
  }
  const KernelSet* kernels_ = nullptr;
};

TEST_P(Kernels, EqualThePairwiseFunctionsBitForBit) {
  const Values kind = std::get<1>(GetParam());
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {63u, 64u, 65u, 100u, 127u, 129u, 300u, 785u}) dims.push_back(d);
  for (std::size_t dim : dims) {
    const auto stored = vectors(40, dim, kind, 1000 + dim);
    const auto queries = vectors(3, dim, kind, 2000 + dim);
    std::mt19937_64 rng(dim);
    for (const MetricCase& m : kMetrics) {
      for (const auto& query : queries) {
        for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 40u, 77u}) {
          // Stored vectors in any order, some of them more than once.
          std::vector<std::size_t> rows(count);
          for (std::size_t& r : rows) r = rng() % stored.size();
          expect_pairwise(*kernels_, m, query, stored, rows,
                          "dim " + std::to_string(dim) + " count " + std::to_string(count));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, Kernels,
                         ::testing::Combine(::testing::Values(KernelVariant::Scalar, KernelVariant::AVX2,
                                                              KernelVariant::AVX512, KernelVariant::NEON),
                                            ::testing::Values(Values::Gaussian, Values::Magnitudes,
                                                              Values::Special)));

TEST(KernelSelection, TheActiveSetIsOneTheCPURuns) {
  const KernelSet& active = active_kernels();
  bool found = false;
  for (KernelVariant v :
       {KernelVariant::Scalar, KernelVariant::AVX2, KernelVariant::AVX512, KernelVariant::NEON}) {
    found = found || kernel_set(v) == &active;
  }
  EXPECT_TRUE(found) << active.name;
  ASSERT_NE(kernel_set(KernelVariant::Scalar), nullptr);
}

// Contracting `sum + x * y` into one fused multiply-add (GCC's default on
// aarch64, clang's within an expression) rounds once where the plain loop
// rounds twice. Here the first product rounds to 1 + 2e and the second is its
// exact negation less e^2: unfused the sum is 0, fused it is -e^2.
TEST(Kernels, NoVariantFusesAMultiplyIntoAnAdd) {
  const double e = std::ldexp(1.0, -30);
  const std::vector<double> query{1 + e, 1 + e};
  const std::vector<double> row{1 + e, -(1 + e)};
  EXPECT_EQ(bits(dot_product(query, row)), bits(0.0));
  const double* rows[] = {row.data()};
  for (KernelVariant v :
       {KernelVariant::Scalar, KernelVariant::AVX2, KernelVariant::AVX512, KernelVariant::NEON}) {
    const KernelSet* kernels = kernel_set(v);
    if (kernels == nullptr) continue;
    double out[1];
    BatchScorer(dot_product, query, 2, *kernels).score(rows, 1, out);
    EXPECT_EQ(bits(out[0]), bits(0.0)) << kernels->name;
  }
}

// A query of another length, or a metric other than the three, is scored pair
// by pair with the function itself.
TEST(BatchScorer, FallsBackToThePairwiseFunction) {
  const std::vector<std::vector<double>> stored{{1, 2, 3}, {4, 5, 6}, {-1, 0, 2}};
  const double* rows[] = {stored[0].data(), stored[1].data(), stored[2].data()};
  const auto largest = [](VectorView a, VectorView b) noexcept {
    return a.size() + 10.0 * static_cast<double>(b.size());
  };
  for (KernelVariant v :
       {KernelVariant::Scalar, KernelVariant::AVX2, KernelVariant::AVX512, KernelVariant::NEON}) {
    const KernelSet* kernels = kernel_set(v);
    if (kernels == nullptr) continue;
    for (const std::vector<double>& query : {std::vector<double>{1, 1}, std::vector<double>{1, 1, 1, 1}}) {
      for (const MetricCase& m : kMetrics) {
        double out[3];
        BatchScorer(m.metric, query, 3, *kernels).score(rows, 3, out);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bits(out[i]), bits(m.metric(query, stored[i])));
      }
    }
    double out[3];
    BatchScorer(largest, std::vector<double>{1, 1, 1}, 3, *kernels).score(rows, 3, out);
    EXPECT_EQ(out[2], 33.0);
  }
}

}  // namespace
}  // namespace hobrin
