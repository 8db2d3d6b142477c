// The graph index against a plain model of the same algorithm, with several
// layers: the model replays the insertions with the levels the index drew,
// links by full-list scans with the level test and the pairwise metric, and
// must end with the same neighbour lists and answer every search, filtered or
// not, with the same nodes in the same order and the same distances.
#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "graph_fixtures.hpp"
#include "hobrin/hnsw/hnsw.hpp"

namespace hobrin {
namespace {

using namespace hobrin::testing;

// A number's bits; a NaN is only a NaN.
std::uint64_t bits(double x) {
  return std::isnan(x) ? std::uint64_t{0x7FF8'0000'0000'0000} : std::bit_cast<std::uint64_t>(x);
}

class Model {
 public:
  Model(Metric metric, std::uint64_t layers, std::uint64_t ef_construction)
      : metric_(metric), layers_(layers), ef_construction_(ef_construction) {}

  void insert(const std::vector<double>& vector, std::uint64_t level, std::optional<int> tag) {
    const NodeId node = vectors_.size();
    vectors_.push_back(vector);
    levels_.push_back(level);
    tags_.push_back(tag);
    lists_.emplace_back();
    if (node == 0) return;
    NodeId entry = 0;
    for (std::uint64_t layer = 0; layer < layers_; ++layer) {
      if (layer < level) {
        entry = knn(entry, vector, 1, layer, false).front().id;
        continue;
      }
      const auto found = knn(entry, vector, ef_construction_, layer, false);
      for (const Candidate& c : found) lists_[c.id].push_back(node);
      for (const Candidate& c : found) lists_[node].push_back(c.id);
      entry = node;
    }
  }

  std::vector<Candidate> search(const std::vector<double>& query, std::uint64_t k, std::uint64_t ef,
                                bool filtered) const {
    NodeId entry = 0;
    for (std::uint64_t layer = layers_ - 1; layer > 0; --layer) {
      entry = knn(entry, query, 1, layer, filtered).front().id;
    }
    std::vector<Candidate> out;
    for (const Candidate& c : knn(entry, query, ef, 0, filtered)) {
      if (out.size() >= std::max<std::uint64_t>(k, 1)) break;
      if (!filtered || passes(c.id)) out.push_back(c);
    }
    return out;
  }

  const std::vector<NodeId>& list(NodeId node) const { return lists_[node]; }

 private:
  bool passes(NodeId node) const { return tags_[node] == 1; }

  // The layer search, one neighbour at a time.
  std::vector<Candidate> knn(NodeId entry, const std::vector<double>& query, std::uint64_t ef,
                             std::uint64_t layer, bool filtered) const {
    const double d0 = metric_(query, vectors_[entry]);
    std::vector<Candidate> result{{d0, entry}};
    std::vector<Candidate> queue{{d0, entry}};
    std::set<NodeId> visited{entry};
    while (!queue.empty()) {
      const auto first = std::min_element(queue.begin(), queue.end(), ranks_before);
      const Candidate c = *first;
      queue.erase(first);
      if (compare_distance(c.distance, result.back().distance) > 0) break;
      for (NodeId n : lists_[c.id]) {
        if (levels_[n] < layer) continue;
        if (filtered && !passes(n)) continue;
        if (!visited.insert(n).second) continue;
        const double d = metric_(query, vectors_[n]);
        if (result.size() < ef || d < result.back().distance) {
          queue.push_back({d, n});
          // After every smaller distance, before every greater one, and just
          // before the last of the equal ones.
          std::size_t at = 0;
          while (at < result.size() && compare_distance(result[at].distance, d) < 0) ++at;
          std::size_t past = at;
          while (past < result.size() && compare_distance(result[past].distance, d) == 0) ++past;
          if (past > at) at = past - 1;
          result.insert(result.begin() + static_cast<std::ptrdiff_t>(at), {d, n});
          if (result.size() > ef) result.pop_back();
        }
      }
    }
    return result;
  }

  Metric metric_;
  std::uint64_t layers_;
  std::uint64_t ef_construction_;
  std::vector<std::vector<double>> vectors_;
  std::vector<std::uint64_t> levels_;
  std::vector<std::optional<int>> tags_;
  std::vector<std::vector<NodeId>> lists_;
};

// Grid values for ties, repeated vectors, zero vectors (NaN under cosine),
// and a few infinities.
std::vector<double> draw_vector(std::mt19937_64& rng, std::size_t dim,
                                const std::vector<std::vector<double>>& earlier) {
  const int kind = static_cast<int>(rng() % 20);
  if (kind == 0 && !earlier.empty()) return earlier[rng() % earlier.size()];
  std::vector<double> v(dim, 0.0);
  if (kind == 1) return v;
  for (double& x : v) x = static_cast<double>(static_cast<int>(rng() % 9) - 4) / 2;
  if (kind == 2) v[rng() % dim] = INFINITY;
  return v;
}

class GraphAgainstModel : public ::testing::TestWithParam<std::tuple<Metric, std::uint64_t, std::uint64_t>> {
};

TEST_P(GraphAgainstModel, SameListsAndSameSearches) {
  const auto [metric, layers, seed] = GetParam();
  const std::size_t dim = 5, n = 400;
  const std::uint64_t ef_construction = 24, ef_search = 16;
  HNSW index(config(dim, layers, ef_construction, ef_search, Schema{"tag"}, metric));
  Model model(metric, layers, ef_construction);
  std::mt19937_64 rng(seed);
  std::mt19937_64 data(seed + 100);
  std::vector<std::vector<double>> vectors;
  for (std::size_t i = 0; i < n; ++i) {
    vectors.push_back(draw_vector(data, dim, vectors));
    const bool with_row = data() % 5 != 0;
    const int tag = static_cast<int>(data() % 3);
    const MetadataRow row{{std::int64_t{tag}}};
    ASSERT_TRUE(index.insert(vectors.back(), with_row ? &row : nullptr, rng));
    model.insert(vectors.back(), index.level(i), with_row ? std::optional<int>(tag) : std::nullopt);
  }
  for (NodeId i = 0; i < n; ++i) {
    const auto list = index.neighbours(i);
    ASSERT_EQ(std::vector<NodeId>(list.begin(), list.end()), model.list(i)) << "node " << i;
  }
  const Filter filter = Filter::equal_to("tag", Metadata{std::int64_t{1}});
  for (int q = 0; q < 60; ++q) {
    const auto query = draw_vector(data, dim, vectors);
    const bool filtered = q % 2 == 1;
    const auto found = index.search(query, 10, filtered ? &filter : nullptr);
    ASSERT_TRUE(found);
    const auto expected = model.search(query, 10, ef_search, filtered);
    ASSERT_EQ(ids(*found), ids(expected)) << "query " << q;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(bits((*found)[i].distance), bits(expected[i].distance)) << "query " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, GraphAgainstModel,
    ::testing::Combine(::testing::Values(euclidean_distance, dot_product, cosine_similarity),
                       ::testing::Values(std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{5}),
                       ::testing::Values(std::uint64_t{1}, std::uint64_t{2})));

}  // namespace
}  // namespace hobrin
