// The scalable graph index: its kernels, its id table, the shape of the graph
// it builds (which Python cannot see) and its recall against a plain scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <unordered_map>
#include <vector>

#include "hobrin_ann/core/labels.hpp"
#include "hobrin_ann/index/graph_index.hpp"
#include "hobrin_ann/index/memory_estimate.hpp"
#include "hobrin_ann/insert/insert.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/store/full_rows.hpp"

namespace hobrin::ann {
namespace {

std::vector<float> random_rows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> rows(n * dim);
  for (float& v : rows) v = normal(rng);
  return rows;
}

class FastKernelVariants : public ::testing::TestWithParam<const char*> {};

TEST_P(FastKernelVariants, AgreeWithAPlainLoop) {
  for (const auto measure : {fast::Measure::SquaredEuclidean, fast::Measure::NegativeDot}) {
    const auto kernels = fast::fast_kernels<double>(measure, GetParam());
    if (kernels.batch == nullptr) GTEST_SKIP() << GetParam() << " is not supported by this CPU";
    for (std::size_t dim : {1u, 7u, 8u, 9u, 33u, 100u}) {
      VectorRows<double> rows(dim);
      rows.reserve(3);
      const auto values = random_rows(3, dim, 7);
      for (std::size_t r = 0; r < 3; ++r) rows.append(values.data() + r * dim, false);
      const std::uint32_t nodes[] = {1, 2, 0};
      double out[3];
      kernels.batch(rows.row(0), rows.base(), rows.stride(), nodes, 3, rows.stride(), HUGE_VAL, out);
      for (std::size_t i = 0; i < 3; ++i) {
        double expected = 0;
        for (std::size_t j = 0; j < dim; ++j) {
          const double a = rows.row(0)[j], b = rows.row(nodes[i])[j];
          expected += measure == fast::Measure::SquaredEuclidean ? (a - b) * (a - b) : -a * b;
        }
        EXPECT_NEAR(out[i], expected, 1e-9 * (1 + std::abs(expected))) << dim;
        EXPECT_EQ(kernels.pair(rows.row(0), rows.row(nodes[i]), rows.stride()), out[i]);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, FastKernelVariants, ::testing::Values("baseline", "avx2", "avx512", "neon"));

TEST(LabelMap, AgreesWithAStandardMapThroughInsertsAndErases) {
  LabelMap map;
  std::unordered_map<std::int64_t, std::uint32_t> model;
  std::mt19937_64 rng(3);
  for (std::uint32_t step = 0; step < 20000; ++step) {
    const std::int64_t label = static_cast<std::int64_t>(rng() % 3000);
    if (rng() % 3 == 0) {
      map.erase(label);
      model.erase(label);
    } else if (!model.contains(label)) {
      map.reserve(model.size() + 1);
      map.insert(label, step);
      model[label] = step;
    }
    ASSERT_EQ(map.size(), model.size());
  }
  for (std::int64_t label = 0; label < 3000; ++label) {
    const auto found = map.find(label);
    ASSERT_EQ(found.has_value(), model.contains(label)) << label;
    if (found) {
      EXPECT_EQ(*found, model[label]);
    }
  }
  EXPECT_FALSE(map.find(-1).has_value());  // -1 marks the empty slots
  LabelMap sized;
  sized.reserve(1000);
  EXPECT_EQ(sized.bytes(), LabelMap::table_bytes(1000));
}

// A viewed table lies in a mapped file that may be changed after it was
// checked: zero-filled (label 0 everywhere, no empty slot) or pointing at
// nodes that do not exist. Lookups still end, and find only real nodes.
TEST(LabelMap, AViewedTableChangedInPlaceNeitherLoopsNorNamesMissingNodes) {
  std::vector<LabelMap::Slot> slots(64, LabelMap::Slot{0, 0, 0});
  LabelMap map;
  map.view(slots.data(), slots.size(), 0, 10);
  for (std::int64_t label : {1, 77, 1 << 30}) EXPECT_FALSE(map.find(label).has_value()) << label;
  EXPECT_EQ(map.find(0), std::optional<std::uint32_t>(0));
  for (auto& slot : slots) slot = {5, 4000000000u, 0};
  EXPECT_FALSE(map.find(5).has_value());
  EXPECT_FALSE(map.find(6).has_value());
}

// Viewed layer-0 lists likewise: a list ends at its first slot that names no node.
TEST(LinkGraph, ViewedListsEndAtTheFirstIdThatNamesNoNode) {
  LinkGraph graph(2);  // four slots a list
  const std::vector<std::uint32_t> lists = {1, 2, 0, kNoNode, 2, 9, 1, 0, 1234567, 0, 1, 2};
  graph.view_layer0(lists.data());
  graph.reserve(3, 0);
  for (int i = 0; i < 3; ++i) graph.append(0);
  auto as_vector = [](std::span<const std::uint32_t> s) {
    return std::vector<std::uint32_t>(s.begin(), s.end());
  };
  EXPECT_EQ(as_vector(graph.links(0, 0)), (std::vector<std::uint32_t>{1, 2, 0}));
  EXPECT_EQ(as_vector(graph.links(1, 0)), (std::vector<std::uint32_t>{2}));
  EXPECT_TRUE(graph.links(2, 0).empty());
}

// Builds a graph node by node in the core and checks every list.
TEST(GraphShape, ListsAreBoundedDistinctAndPointAtNodesOfTheirLayer) {
  IndexOptions options{.dim = 8, .m = 6, .ef_construction = 40, .seed = {}, .schema = {}};
  IndexCore<FullRows<float>> core(options);
  const std::size_t n = 1500;
  const auto values = random_rows(n, options.dim, 11);
  std::mt19937_64 rng(5);
  core.store.reserve(n);
  core.graph.reserve(n, n * 4);
  Scratch<FullRows<float>> scratch(core.store);
  scratch.prepare(n, 2 * options.m, options.ef_construction);
  for (std::size_t i = 0; i < n; ++i) {
    core.store.append(values.data() + i * options.dim);
    core.graph.append(rng() % 8 == 0 ? 1 + static_cast<int>(rng() % 3) : 0);
  }
  for (std::uint32_t node = 0; node < n; ++node) insert_node<FullRows<float>, false>(core, scratch, node);

  std::size_t layer0_links = 0;
  for (std::uint32_t node = 0; node < n; ++node) {
    for (int level = 0; level <= core.graph.level(node); ++level) {
      const auto list = core.graph.links(node, level);
      ASSERT_LE(list.size(), core.graph.max_links(level));
      std::set<std::uint32_t> seen;
      for (const std::uint32_t to : list) {
        ASSERT_LT(to, n);
        ASSERT_NE(to, node);
        ASSERT_GE(core.graph.level(to), level);
        ASSERT_TRUE(seen.insert(to).second);
      }
      if (level == 0) layer0_links += list.size();
    }
  }
  EXPECT_GE(layer0_links, n * options.m / 2);  // the heuristic prunes, but not to a sparse graph
  EXPECT_EQ(core.graph.level(core.entry_point), core.top_level);
}

// The store scores what a plain loop over the caller's values gives: whatever
// order it keeps dimensions in, and at unit length for cosine.
TEST(FullRowsStore, ScoresAgreeWithAPlainLoopOverTheCallersValues) {
  const std::size_t n = 5, dim = 19;
  const auto values = random_rows(n, dim, 13);
  for (const bool euclidean : {true, false}) {
    FullRows<double> store(dim, euclidean ? fast::Measure::SquaredEuclidean : fast::Measure::NegativeDot,
                           !euclidean);
    std::vector<double> rows(values.begin(), values.end());
    store.adopt(store.learn(rows.data(), n));
    EXPECT_EQ(store.order().empty(), !euclidean);
    store.reserve(n);
    for (std::size_t i = 0; i < n; ++i) store.append(rows.data() + i * dim);
    auto unit = [&](std::size_t i) {
      double norm = 0;
      for (std::size_t j = 0; j < dim; ++j) norm += rows[i * dim + j] * rows[i * dim + j];
      return euclidean ? 1.0 : 1.0 / std::sqrt(norm);
    };
    auto plain = [&](std::size_t a, std::size_t b) {
      double sum = 0;
      for (std::size_t j = 0; j < dim; ++j) {
        const double x = rows[a * dim + j] * unit(a), y = rows[b * dim + j] * unit(b);
        sum += euclidean ? (x - y) * (x - y) : -x * y;
      }
      return sum;
    };
    auto query_rows = store.make_query_rows();
    query_rows.reserve(1);
    const auto query = store.prepare(rows.data(), query_rows, 0);
    const std::uint32_t nodes[] = {4, 0, 2};
    double batch[3];
    store.score_batch(query, nodes, 3, HUGE_VAL, batch);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(batch[i], plain(0, nodes[i]), 1e-12);
      EXPECT_NEAR(store.score(query, nodes[i]), plain(0, nodes[i]), 1e-12);
      EXPECT_NEAR(store.score_pair(1, nodes[i]), plain(1, nodes[i]), 1e-12);
    }
    std::vector<double> back(dim);
    store.copy_out(3, back.data());
    for (std::size_t j = 0; j < dim; ++j) EXPECT_NEAR(back[j], rows[3 * dim + j] * unit(3), 1e-15);
  }
}

double recall_at_10(GraphIndex& index, const std::vector<float>& base, std::size_t n, std::size_t dim) {
  const auto queries = random_rows(50, dim, 99);
  std::vector<std::int64_t> graph_ids(500), exact_ids(500);
  std::vector<float> graph_d(500), exact_d(500);
  SearchRequest request{.queries = queries.data(), .count = 50, .k = 10, .ef = 64};
  request.labels = graph_ids.data();
  request.distances = graph_d.data();
  EXPECT_TRUE(index.search(request));
  request.exact = true;
  request.labels = exact_ids.data();
  request.distances = exact_d.data();
  EXPECT_TRUE(index.search(request));
  std::size_t hits = 0;
  for (std::size_t q = 0; q < 50; ++q) {
    std::set<std::int64_t> truth(exact_ids.begin() + q * 10, exact_ids.begin() + q * 10 + 10);
    for (std::size_t i = 0; i < 10; ++i) hits += truth.count(graph_ids[q * 10 + i]);
  }
  (void)base, (void)n;
  return hits / 500.0;
}

TEST(GraphIndex, ParallelAndSerialBuildsBothFindTheNearest) {
  const std::size_t n = 3000, dim = 12;
  const auto base = random_rows(n, dim, 21);
  for (std::size_t threads : {1u, 2u}) {
    auto index = GraphIndex::create({.dim = dim, .m = 8, .ef_construction = 100, .seed = 1, .schema = {}});
    std::vector<std::int64_t> ids(n);
    ASSERT_TRUE(index->add(base.data(), n, nullptr, ids.data(), {}, threads, nullptr));
    EXPECT_EQ(ids.back(), std::int64_t(n - 1));
    EXPECT_GE(recall_at_10(*index, base, n, dim), 0.9) << threads;
  }
}

TEST(GraphIndex, ContainsManyAgreesWithContainsAndTheEstimateWithMemory) {
  const std::size_t n = 2000, dim = 20;
  const auto base = random_rows(n, dim, 4);
  auto index = GraphIndex::create({.dim = dim, .m = 12, .ef_construction = 40, .seed = 2, .schema = {}});
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(3 * i);
  ASSERT_TRUE(index->add(base.data(), n, ids.data(), ids.data(), {}, 2, nullptr));
  const std::int64_t removed = 6;
  ASSERT_FALSE(index->remove(&removed, 1));
  const std::array<std::int64_t, 8> asked = {0, 1, 3, removed, -1, 5997, 5998, std::int64_t{1} << 62};
  std::array<bool, 8> found{};
  index->contains_many(asked.data(), asked.size(), found.data());
  for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(found[i], index->contains(asked[i])) << asked[i];
  EXPECT_EQ(std::count(found.begin(), found.end(), true), 3);  // 0, 3 and 5997

  // Removal leaves the memory as it was: the estimate of one batch holds.
  const double estimate = static_cast<double>(estimate_memory_bytes(dim, ElementType::Float32, 12, n));
  EXPECT_NEAR(estimate, static_cast<double>(index->memory_bytes()), 0.01 * estimate);
}

}  // namespace
}  // namespace hobrin::ann
