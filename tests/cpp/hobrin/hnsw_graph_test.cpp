// The graph index: construction, insertion, linking and the layered search.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "graph_fixtures.hpp"
#include "hobrin/hnsw/hnsw.hpp"

namespace hobrin {
namespace {

using namespace hobrin::testing;
using namespace std::string_literals;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(HNSWConstruction, DefaultsWeightsAndRefusedConfigs) {
  const HNSW index(HNSWConfig{.dim = 3, .distance = euclidean_distance, .schema = std::nullopt});
  EXPECT_EQ(index.layers(), 5u);
  EXPECT_EQ(index.m(), 16u);
  EXPECT_EQ(index.ef_construction(), 200u);
  EXPECT_EQ(index.ef_search(), 50u);
  ASSERT_EQ(index.level_weights().size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(index.level_weights()[i], std::exp(-double(i)));
  EXPECT_TRUE(HNSW(config(1, 0, 1, 1)).level_weights().empty());
  EXPECT_THROW(HNSW(config(0, 1, 1, 1)), InternalFault);
  EXPECT_THROW(HNSW(config(1, 65, 1, 1)), InternalFault);
  EXPECT_THROW(HNSW(config(1, 1, 1, 1, std::nullopt, nullptr)), InternalFault);
}

TEST(HNSWInsert, ThreeVectorExample) {
  HNSW index(config(2, 1, 200, 50));
  std::mt19937_64 rng(1);
  for (const auto& v : std::vector<std::vector<double>>{{0, 0}, {10, 0}, {9, 0}}) {
    ASSERT_TRUE(index.insert(v, nullptr, rng));
  }
  const Snapshot s = snapshot(index);
  EXPECT_EQ(s.lists, (std::vector<std::vector<NodeId>>{{1, 2}, {0, 2}, {1, 0}}));
  EXPECT_EQ(s.levels, (std::vector<std::uint64_t>{0, 0, 0}));
  const std::vector<double> query{9.25, 0};
  auto found = index.search(query, 3, nullptr);
  ASSERT_TRUE(found);
  EXPECT_EQ(ids(*found), (std::vector<NodeId>{2, 1, 0}));
  EXPECT_EQ((*found)[0].distance, 0.25);
}

TEST(HNSWInsert, FirstNodeSitsOnTheTopLayerWithoutDrawing) {
  for (std::uint64_t layers : {1u, 2u, 5u, 64u}) {
    HNSW index(config(2, layers, 10, 10));
    std::mt19937_64 rng(5);
    const std::mt19937_64 before = rng;
    ASSERT_TRUE(index.insert(std::vector<double>{1, 2}, nullptr, rng));
    EXPECT_EQ(rng, before);
    EXPECT_EQ(index.level(0), layers - 1);
    EXPECT_TRUE(index.neighbours(0).empty());
  }
}

// With several layers a node is linked once per layer from its level up, so
// from the second pass on it lists itself and gets the matching back entry.
TEST(HNSWInsert, UpperLayerNodesLinkOncePerPass) {
  std::set<std::uint64_t> levels_seen;
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    HNSW index(config(1, 3, 200, 50));
    std::mt19937_64 rng(seed);
    ASSERT_TRUE(index.insert(std::vector<double>{0}, nullptr, rng));
    ASSERT_TRUE(index.insert(std::vector<double>{1}, nullptr, rng));
    const auto level = index.level(1);
    levels_seen.insert(level);
    // The pass at `level` lists node 0; each later pass adds a self back
    // entry, then the pass list: itself (distance 0) and node 0.
    std::vector<NodeId> expected{0};
    for (std::uint64_t pass = level + 1; pass < 3; ++pass) expected.insert(expected.end(), {1, 1, 0});
    const auto own = index.neighbours(1);
    EXPECT_EQ(std::vector<NodeId>(own.begin(), own.end()), expected);
    EXPECT_EQ(index.neighbours(0).size(), 3 - level);  // one back entry per pass
  }
  EXPECT_EQ(levels_seen.size(), 3u);
}

TEST(HNSWInsert, NoLayersStoresWithoutLinks) {
  HNSW index(config(2, 0, 200, 50));
  std::mt19937_64 rng(2);
  for (double x : {1.0, 2.0, 3.0}) ASSERT_TRUE(index.insert(std::vector<double>{x, x}, nullptr, rng));
  ASSERT_EQ(index.size(), 3u);
  for (NodeId n = 0; n < 3; ++n) EXPECT_TRUE(index.neighbours(n).empty());
  EXPECT_EQ(index.search(std::vector<double>{0, 0}, 1, nullptr).error(), HNSWError::InvalidLayer);
}

TEST(HNSWInsert, FailedLinkingLeavesTheIndexAsItWas) {
  const Schema schema{"tag"};
  HNSW index(config(2, 3, 0, 50, schema));
  std::mt19937_64 rng(4);
  const MetadataRow row{{"first"s}};
  ASSERT_TRUE(index.insert(std::vector<double>{0, 0}, &row, rng));
  const Snapshot before = snapshot(index);
  const MetadataRow other{{"second"s}};
  for (int attempt = 0; attempt < 5; ++attempt) {
    auto failed = index.insert(std::vector<double>{1, 1}, attempt % 2 ? &other : nullptr, rng);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), HNSWError::InvalidEF);
    EXPECT_EQ(snapshot(index), before);
  }
  auto found = index.search(std::vector<double>{1, 1}, 10, nullptr);
  ASSERT_TRUE(found);
  EXPECT_EQ(ids(*found), std::vector<NodeId>{0});
}

TEST(HNSWInsert, AViewOfAStoredVectorCanBeInsertedAgain) {
  HNSW index(config(3, 1, 10, 10));
  std::mt19937_64 rng(4);
  ASSERT_TRUE(index.insert(std::vector<double>{1, 2, 3}, nullptr, rng));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(index.insert(index.vector(0), nullptr, rng));
  for (NodeId n = 0; n < index.size(); ++n) EXPECT_EQ(index.vector(n)[2], 3.0);
}

TEST(HNSWCreate, ErrorsAndPartialProgress) {
  std::mt19937_64 rng(9);
  const auto vectors = random_vectors(3, 2, 9);
  const std::vector<MetadataRow> rows(2, MetadataRow{{std::int64_t{1}}});

  HNSW with_schema(config(2, 1, 10, 10, Schema{"n"}));
  EXPECT_EQ(with_schema.create(VectorList(), {}, rng).error(), HNSWError::EmptyVectors);
  EXPECT_EQ(with_schema.create(VectorList(vectors), rows, rng).error(), HNSWError::AttributeNotFound);
  EXPECT_EQ(with_schema.size(), 0u);

  HNSW no_schema(config(2, 1, 10, 10));
  ASSERT_TRUE(no_schema.create(VectorList(vectors), rows, rng));  // rows ignored without a schema
  ASSERT_TRUE(no_schema.create(VectorList(vectors), {}, rng));     // appends
  EXPECT_EQ(no_schema.size(), 6u);

  HNSW failing(config(2, 1, 0, 10));
  EXPECT_EQ(failing.create(VectorList(vectors), {}, rng).error(), HNSWError::InvalidEF);
  EXPECT_EQ(failing.size(), 1u);  // the first insertion stays
}

TEST(HNSWSearch, EmptyIndexReturnsNothingWhateverTheArguments) {
  const Filter bad = Filter::equal_to("missing", Metadata{std::int64_t{1}});
  for (const auto& c : {config(2, 0, 0, 0), config(2, 5, 10, 0, Schema{}), config(2, 5, 10, 10)}) {
    const HNSW index(c);
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{3}, kMax}) {
      auto found = index.search(std::vector<double>{1, 1}, k, &bad);
      ASSERT_TRUE(found);
      EXPECT_TRUE(found->empty());
    }
  }
}

struct SearchErrorCase {
  std::uint64_t layers;
  std::uint64_t ef_search;
  std::optional<Schema> schema;
  bool with_filter;
  HNSWError error;
};

class HNSWSearchError : public ::testing::TestWithParam<SearchErrorCase> {};

// Each layer search checks ef, then the layer, then the filter; the descent
// (ef 1) runs first, so with upper layers the filter is refused before ef_search.
TEST_P(HNSWSearchError, FirstFailingCheckWins) {
  const auto& c = GetParam();
  HNSW index(config(1, c.layers, 10, c.ef_search, c.schema));
  std::mt19937_64 rng(1);
  ASSERT_TRUE(index.insert(std::vector<double>{1}, nullptr, rng));
  const Filter filter = Filter::equal_to("color", Metadata{"red"s});
  auto found = index.search(std::vector<double>{0}, 1, c.with_filter ? &filter : nullptr);
  ASSERT_FALSE(found);
  EXPECT_EQ(to_string(found.error()), to_string(c.error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HNSWSearchError,
    ::testing::Values(SearchErrorCase{1, 0, std::nullopt, false, HNSWError::InvalidEF},
                      SearchErrorCase{0, 50, std::nullopt, false, HNSWError::InvalidLayer},
                      SearchErrorCase{0, 0, std::nullopt, false, HNSWError::InvalidLayer},
                      SearchErrorCase{1, 50, std::nullopt, true, HNSWError::NoSchema},
                      SearchErrorCase{1, 50, Schema{}, true, HNSWError::EmptySchema},
                      SearchErrorCase{1, 50, Schema{"size"}, true, HNSWError::AttributeNotFound},
                      SearchErrorCase{1, 0, Schema{"size"}, true, HNSWError::InvalidEF},
                      SearchErrorCase{3, 0, Schema{"size"}, true, HNSWError::AttributeNotFound}));

// With one layer and ef_construction above the node count every node links to
// all earlier ones, so every search reaches every node and the output is the
// exact ranking, whatever k or ef.
TEST(HNSWSearch, HugeKAndEfOnASmallIndex) {
  HNSW index(config(2, 1, kMax, kMax));
  std::mt19937_64 rng(8);
  const auto vectors = random_vectors(20, 2, 8);
  ASSERT_TRUE(index.create(VectorList(vectors), {}, rng));
  const std::vector<double> query{0.1, -0.2};
  std::vector<Candidate> exact;
  for (NodeId n = 0; n < vectors.size(); ++n) exact.push_back({euclidean_distance(query, vectors[n]), n});
  std::sort(exact.begin(), exact.end(), ranks_before);
  for (std::uint64_t k : {kMax, std::uint64_t{20}, std::uint64_t{7}, std::uint64_t{1}, std::uint64_t{0}}) {
    auto found = index.search(query, k, nullptr);
    ASSERT_TRUE(found);
    const std::size_t expected = std::min<std::uint64_t>(std::max<std::uint64_t>(k, 1), 20);
    EXPECT_EQ(ids(*found), ids(std::vector<Candidate>(exact.begin(), exact.begin() + expected)));
  }
  auto capped = HNSW(config(2, 1, kMax, 3));
  ASSERT_TRUE(capped.create(VectorList(vectors), {}, rng));
  EXPECT_EQ(capped.search(query, kMax, nullptr)->size(), 3u);  // never more than ef_search
}

TEST(HNSWSearch, NaNDistancesRankLast) {
  HNSW index(config(2, 1, 50, 50, std::nullopt, cosine_similarity));
  std::mt19937_64 rng(8);
  const std::vector<std::vector<double>> vectors{{1, 0}, {0, 0}, {-1, 0}, {0, 1}};
  ASSERT_TRUE(index.create(VectorList(vectors), {}, rng));
  auto found = index.search(std::vector<double>{1, 0}, 10, nullptr);
  ASSERT_TRUE(found);
  EXPECT_EQ(ids(*found), (std::vector<NodeId>{2, 3, 0, 1}));  // raw cosine, ascending
  EXPECT_TRUE(std::isnan(found->back().distance));
}

// Filtered searches over rows that mix kinds and nodes without rows; the
// schema repeats "color", and the filter reads its first position.
TEST(HNSWSearch, FiltersSelectOnlyMatchingNodes) {
  HNSW index(config(1, 1, 100, 100, Schema{"color", "size", "color"}));
  std::mt19937_64 rng(6);
  auto row = [](std::string color, Metadata size) { return MetadataRow{{color}, size, {"decoy"s}}; };
  const std::vector<std::optional<MetadataRow>> rows{row("red", {std::int64_t{1}}),
                                                     std::nullopt,
                                                     row("blue", {1.0}),
                                                     std::nullopt,
                                                     row("blue", {std::int64_t{1}}),
                                                     row("red", {std::nan("")})};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_TRUE(index.insert(std::vector<double>{double(i)}, rows[i] ? &*rows[i] : nullptr, rng));
  }
  struct Case {
    const char* attribute;
    Metadata value;
    std::vector<NodeId> expected;
  };
  const std::vector<Case> cases{{"color", {"blue"s}, {2, 4}}, {"color", {"red"s}, {0, 5}},
                                {"color", {"decoy"s}, {}},    {"size", {std::int64_t{1}}, {0, 4}},
                                {"size", {1.0}, {2}},         {"size", {std::nan("")}, {}},
                                {"color", {"green"s}, {}}};
  for (const auto& c : cases) {
    const Filter filter = Filter::equal_to(c.attribute, c.value);
    for (double q : {-1.0, 2.5, 9.0}) {
      auto found = index.search(std::vector<double>{q}, kMax, &filter);
      ASSERT_TRUE(found);
      std::vector<NodeId> got = ids(*found);
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, c.expected) << c.attribute << " " << describe(c.value) << " q " << q;
      EXPECT_TRUE(std::is_sorted(found->begin(), found->end(), [](const Candidate& a, const Candidate& b) {
        return compare_distance(a.distance, b.distance) < 0;
      }));
    }
  }
}

TEST(HNSWSearch, RecallAgainstBruteForce) {
  const std::size_t n = 600, dim = 8, k = 10;
  HNSW index(config(dim, 5, 64, 64));
  std::mt19937_64 rng(11);
  const auto vectors = random_vectors(n, dim, 11);
  ASSERT_TRUE(index.create(VectorList(vectors), {}, rng));
  std::size_t hits = 0;
  for (const auto& query : random_vectors(30, dim, 12)) {
    std::vector<Candidate> exact;
    for (NodeId i = 0; i < n; ++i) exact.push_back({euclidean_distance(query, vectors[i]), i});
    std::partial_sort(exact.begin(), exact.begin() + k, exact.end(), ranks_before);
    std::set<NodeId> truth;
    for (std::size_t i = 0; i < k; ++i) truth.insert(exact[i].id);
    auto found = index.search(query, k, nullptr);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), k);
    for (const Candidate& c : *found) {
      hits += truth.count(c.id);
      EXPECT_EQ(c.distance, euclidean_distance(query, vectors[c.id]));
    }
  }
  EXPECT_GE(double(hits) / (30 * k), 0.9);
}

}  // namespace
}  // namespace hobrin
