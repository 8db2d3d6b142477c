// The upper layers' 8-bit copy that a quantized query descends through: its
// lists name the graph's upper links, its distances follow the rows' (all
// dimensions or the widest few, queries inside or far outside the codes'
// range, beside a row that is not finite), its descent picks the entry the
// exact descent picks, and under cosine it never moves to a zero row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hobrin_ann/index/quantized_layer.hpp"
#include "hobrin_ann/insert/insert.hpp"
#include "hobrin_ann/search/quantized_walk.hpp"
#include "hobrin_ann/store/full_rows.hpp"
#include "hobrin_ann/store/upper_rows.hpp"
#include "linked_core.hpp"

namespace hobrin::ann {
namespace {

using Store = FullRows<float>;

// n rows around 30 centres, the first `spread` dimensions varying most.
std::vector<float> clustered(std::size_t n, std::size_t dim, std::size_t spread, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> centres(30 * dim), rows(n * dim);
  for (std::size_t c = 0; c < 30; ++c) {
    for (std::size_t j = 0; j < dim; ++j) centres[c * dim + j] = (j < spread ? 6.0f : 0.3f) * normal(rng);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % 30;
    for (std::size_t j = 0; j < dim; ++j)
      rows[i * dim + j] = 1.0f + centres[c * dim + j] + 0.5f * normal(rng);
  }
  return rows;
}

// An index's core over `rows`, with levels up to 3.
struct Graph {
  Graph(std::size_t n, std::size_t d, const std::vector<float>& rows, Metric metric = Metric::Euclidean)
      : dim(d),
        core(
            IndexOptions{.dim = d, .metric = metric, .m = 8, .ef_construction = 64, .seed = 1, .schema = {}}),
        scratch(core.store) {
    std::mt19937_64 rng(3);
    link_test_rows(core, scratch, rows, n, dim, 16, 64, [&rng](std::size_t) {
      int level = 0;
      while (level < 3 && rng() % 8 == 0) ++level;
      return level;
    });
  }
  UpperRows upper(std::size_t keep = SIZE_MAX, bool skip_zero_rows = false) const {
    return UpperRows(
        core.graph, core.entry_point, core.top_level, dim, fast::Measure::SquaredEuclidean, skip_zero_rows,
        [this](std::uint32_t node) { return core.store.rows().row(node); }, keep);
  }
  std::size_t dim;
  IndexCore<Store> core;
  Scratch<Store> scratch;
};

TEST(UpperRows, ListsNameTheGraphsUpperLinks) {
  const std::size_t n = 1500, dim = 24;
  Graph g(n, dim, clustered(n, dim, dim, 1));
  ASSERT_GE(g.core.top_level, 2);
  const UpperRows upper = g.upper();
  std::size_t above = 0;
  for (std::uint32_t node = 0; node < n; ++node) above += g.core.graph.level(node) > 0;
  ASSERT_EQ(upper.size(), above);
  EXPECT_EQ(upper.node(upper.entry()), g.core.entry_point);
  for (std::uint32_t p = 0; p < upper.size(); ++p) {
    const std::uint32_t node = upper.node(p);
    for (int level = 1; level <= g.core.graph.level(node); ++level) {
      std::vector<std::uint32_t> named;
      for (const std::uint32_t to : upper.links(p, level)) named.push_back(upper.node(to));
      const auto links = g.core.graph.links(node, level);
      EXPECT_EQ(named, std::vector<std::uint32_t>(links.begin(), links.end())) << node << " on " << level;
    }
  }
  // An index without upper layers has no copy.
  EXPECT_TRUE(UpperRows(g.core.graph, g.core.entry_point, 0, dim, fast::Measure::SquaredEuclidean, false,
                        [&](std::uint32_t node) { return g.core.store.rows().row(node); })
                  .empty());
}

// The codes' distance is the rows' over the coded dimensions, within the
// rounding of a step per dimension; a query far outside the codes' range
// (scored in the float form) and a row that is not finite change nothing.
TEST(UpperRows, DistancesFollowTheCodedDimensions) {
  const std::size_t n = 1200, dim = 40, spread = 8;
  for (const std::size_t keep : {dim, spread}) {
    for (const float far : {0.0f, 1e6f}) {
      auto rows = clustered(n, dim, spread, 2);
      Graph g(n, dim, rows);
      // A row that is not finite, as a mapped file that was not verified may hold.
      std::uint32_t broken = 0;
      while (g.core.graph.level(broken) == 0 || broken == g.core.entry_point) ++broken;
      std::vector<float> nan_row(g.core.store.rows().row(broken), g.core.store.rows().row(broken) + dim);
      nan_row[3] = std::numeric_limits<float>::quiet_NaN();
      g.core.store.replace(broken, nan_row.data());
      const UpperRows upper = g.upper(keep);
      ASSERT_EQ(upper.dim(), keep);
      std::vector<float> query(rows.begin(), rows.begin() + dim);
      query[0] += far;
      const Store::Query prepared = g.core.store.prepare(query.data(), g.scratch.query, 0);
      std::vector<float> a(upper.dims());
      std::vector<std::int16_t> levels(upper.dims());
      const fast::CodeQuery code = upper.prepare(prepared, a.data(), levels.data());
      EXPECT_EQ(code.levels == nullptr, far != 0.0f);
      const auto kernels = fast::code_kernels(UpperRows::kCode, fast::Measure::SquaredEuclidean);
      const float step = *std::max_element(upper.scale().scale, upper.scale().scale + upper.dims());
      for (std::uint32_t p = 0; p < upper.size(); ++p) {
        if (upper.node(p) == broken) continue;
        const float* row = g.core.store.rows().row(upper.node(p));
        double exact = 0.0;
        for (std::size_t j = 0; j < dim; ++j) {
          // The test data's widest dimensions come first.
          if (keep == dim || j < spread) exact += std::pow(double(prepared[j]) - row[j], 2);
        }
        float got = 0.0f;
        kernels.batch(code, upper.codes(), upper.stride(), &p, 1, upper.dims(),
                      std::numeric_limits<float>::infinity(), &got);
        // Each difference is off by at most a step (half from the row, half from the query).
        const double slack = 2.0 * std::sqrt(exact) * step * std::sqrt(double(keep)) + keep * step * step;
        ASSERT_NEAR(got, exact, slack + 1e-3 * exact) << "keep " << keep << ", far " << far;
      }
    }
  }
}

// With every dimension coded the greedy descent mostly ends where the exact
// one does (87% here: near ties go either way), and elsewhere about as near.
TEST(UpperRows, DescentPicksTheExactDescentsEntry) {
  const std::size_t n = 3000, dim = 32, queries = 200;
  Graph g(n, dim, clustered(n, dim, dim, 4));
  const UpperRows upper = g.upper();
  QuantizedWalkScratch s(QuantizedBlocks(
                             dim, n, [&](std::uint32_t node) { return g.core.store.rows().row(node); },
                             [&](std::uint32_t node) { return g.core.graph.links(node, 0); }, 7),
                         64);
  s.fit(upper);
  const auto asked = clustered(queries, dim, dim, 5);
  const auto codes = fast::code_kernels(UpperRows::kCode, fast::Measure::SquaredEuclidean);
  std::size_t same = 0;
  double exact_total = 0.0, coded_total = 0.0;
  for (std::size_t q = 0; q < queries; ++q) {
    const Store::Query query = g.core.store.prepare(asked.data() + q * dim, g.scratch.query, 0);
    const std::uint32_t exact = descend(g.core, g.scratch, query);
    const std::uint32_t coded = descend_codes(upper, codes, s, query);
    ASSERT_LT(coded, n);
    ASSERT_GE(g.core.graph.level(coded), 1);
    same += coded == exact;
    exact_total += g.core.store.score(query, exact);
    coded_total += g.core.store.score(query, coded);
  }
  EXPECT_GE(double(same) / queries, 0.8);
  EXPECT_LE(coded_total, 1.05 * exact_total);
}

// Under cosine a zero row is at distance 1 from every query; its codes
// would put it at the query's length (1), before every row less similar
// than 0.5. Left off the lists, it can only be where the descent starts.
TEST(UpperRows, CosineDescentNeverMovesToAZeroRow) {
  const std::size_t n = 1500, dim = 16;
  auto rows = clustered(n, dim, dim, 6);
  for (std::size_t i = 0; i < n; i += 3) std::fill_n(rows.begin() + i * dim, dim, 0.0f);
  Graph g(n, dim, rows, Metric::Cosine);
  auto zero = [&](std::uint32_t node) {
    const float* r = g.core.store.rows().row(node);
    return std::all_of(r, r + dim, [](float v) { return v == 0.0f; });
  };
  const UpperRows upper = g.upper(SIZE_MAX, true);
  for (std::uint32_t p = 0; p < upper.size(); ++p) {
    for (int level = 1; level <= g.core.graph.level(upper.node(p)); ++level) {
      for (const std::uint32_t to : upper.links(p, level)) ASSERT_FALSE(zero(upper.node(to)));
    }
  }
  QuantizedWalkScratch s(QuantizedBlocks(
                             dim, n, [&](std::uint32_t node) { return g.core.store.rows().row(node); },
                             [&](std::uint32_t node) { return g.core.graph.links(node, 0); }, 7),
                         64);
  s.fit(upper);
  const auto codes = fast::code_kernels(UpperRows::kCode, fast::Measure::SquaredEuclidean);
  std::mt19937 rng(8);
  std::normal_distribution<float> normal;
  for (int q = 0; q < 100; ++q) {
    std::vector<float> values(dim);
    for (float& v : values) v = normal(rng);
    const Store::Query query = g.core.store.prepare(values.data(), g.scratch.query, 0);
    const std::uint32_t entry = descend_codes(upper, codes, s, query);
    EXPECT_TRUE(!zero(entry) || entry == g.core.entry_point) << entry;
  }
}

}  // namespace
}  // namespace hobrin::ann
