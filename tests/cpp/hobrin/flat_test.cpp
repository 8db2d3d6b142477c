#include "hobrin/flat/flat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace hobrin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The full ordering of every stored vector, as a plain sort would give it.
std::vector<Candidate> full_order(const Flat& flat, VectorView query, Metric metric) {
  std::vector<Candidate> all;
  for (std::size_t i = 0; i < flat.size(); ++i) all.push_back({metric(query, flat.vector(i)), i});
  std::ranges::stable_sort(all, ranks_before);
  return all;
}

class FlatSelection : public ::testing::TestWithParam<Metric> {};

TEST_P(FlatSelection, MatchesAFullSortForEveryK) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> coordinate(-2, 2);  // small values: many ties
  Flat flat(3, GetParam());
  for (int i = 0; i < 200; ++i) {
    std::vector<double> v{double(coordinate(rng)), double(coordinate(rng)), double(coordinate(rng))};
    if (i % 37 == 5) v[1] = kNaN;
    ASSERT_TRUE(flat.insert(v));
  }
  const std::vector<double> query{1, 0, -1};
  const auto expected = full_order(flat, query, GetParam());
  for (std::uint64_t k : {0ull, 1ull, 2ull, 17ull, 199ull, 200ull, 201ull, ~0ull}) {
    auto found = flat.search(query, k);
    ASSERT_TRUE(found);
    const std::size_t want = std::min<std::size_t>(std::max<std::uint64_t>(k, 1), expected.size());
    ASSERT_EQ(found->size(), want);
    for (std::size_t i = 0; i < want; ++i) {
      EXPECT_EQ((*found)[i].id, expected[i].id) << "k=" << k << " rank " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, FlatSelection,
                         ::testing::Values(euclidean_distance, dot_product, cosine_similarity));

TEST(Flat, RefusesOtherLengthsAndKeepsEarlierVectorsOfACreate) {
  Flat flat(2, euclidean_distance);
  EXPECT_EQ(flat.insert(std::vector<double>{1}).error(), FlatError::DimensionMismatch);
  EXPECT_EQ(flat.create(VectorList()).error(), FlatError::EmptyVectors);
  const std::vector<std::vector<double>> rows{{1, 2}, {1, 2, 3}, {5, 6}};
  const VectorList batch(rows);
  EXPECT_EQ(flat.create(batch).error(), FlatError::DimensionMismatch);
  EXPECT_EQ(flat.size(), 1u);
}

TEST(Flat, ZeroDimensionStoresNothing) {
  Flat flat(0, euclidean_distance);
  EXPECT_TRUE(flat.insert({}));
  EXPECT_EQ(flat.size(), 0u);
  EXPECT_EQ(flat.search({}, 1).error(), FlatError::EmptyIndex);
}

TEST(CandidateOrder, NaNLastEqualDistancesByIdSignedZerosEqual) {
  EXPECT_TRUE(ranks_before({1.0, 9}, {kNaN, 0}));
  EXPECT_FALSE(ranks_before({kNaN, 0}, {1.0, 9}));
  EXPECT_TRUE(ranks_before({kNaN, 1}, {kNaN, 2}));
  EXPECT_TRUE(ranks_before({-0.0, 1}, {0.0, 2}));
  EXPECT_TRUE(ranks_before({0.0, 1}, {-0.0, 2}));
  EXPECT_TRUE(ranks_before({-INFINITY, 5}, {INFINITY, 0}));
}

}  // namespace
}  // namespace hobrin
