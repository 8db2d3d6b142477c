// The quantized layer-0 walk over per-node blocks: the blocks hold each
// node's list (dead lanes masked), lists filled from two hops, and the walk reaches the nearest
// nodes of a plain scan with their exact distances, on clustered data with
// copies of vectors (edges of zero length).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "hobrin_ann/index/quantized_layer.hpp"
#include "hobrin_ann/insert/insert.hpp"
#include "hobrin_ann/search/quantized_walk.hpp"
#include "hobrin_ann/store/full_rows.hpp"
#include "linked_core.hpp"

namespace hobrin::ann {
namespace {

using Store = FullRows<float>;

// n vectors around 20 centres, the last 60 copies of earlier ones.
std::vector<float> clustered(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> centres(20 * dim), rows(n * dim);
  for (float& v : centres) v = 4.0f * normal(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % 20;
    for (std::size_t j = 0; j < dim; ++j) rows[i * dim + j] = 3.0f + centres[c * dim + j] + normal(rng);
  }
  for (std::size_t i = n - 60; i < n; ++i)
    std::copy_n(rows.data() + (i - 60) * dim, dim, rows.data() + i * dim);
  return rows;
}

struct Built {
  // With `fill`, the blocks hold the lists topped up by filled_lists.
  Built(std::size_t n, std::size_t d, const std::vector<float>& rows, bool fill = false)
      : dim(d),
        core(IndexOptions{.dim = d, .m = 16, .ef_construction = 100, .seed = 1, .schema = {}}),
        scratch(core.store) {
    std::mt19937_64 rng(5);
    link_test_rows(core, scratch, rows, n, dim, 32, 100,
                   [&rng](std::size_t) { return rng() % 16 == 0 ? 1 : 0; });
    auto graph_list = [this](std::uint32_t node) { return core.graph.links(node, 0); };
    if (fill) {
      filled = filled_lists(n, graph_list,
                            [this](std::uint32_t a, std::uint32_t b) { return core.store.score_pair(a, b); });
    }
    blocks = std::make_unique<QuantizedBlocks>(
        dim, n, [this](std::uint32_t node) { return core.store.rows().row(node); },
        [&](std::uint32_t node) { return fill ? filled_list(node) : graph_list(node); }, 7);
  }
  std::span<const std::uint32_t> filled_list(std::uint32_t node) const {
    const std::uint32_t* list = filled.data() + std::size_t{node} * QuantizedBlocks::kLanes;
    return {list, static_cast<std::size_t>(std::find(list, list + QuantizedBlocks::kLanes, kNoNode) - list)};
  }
  std::size_t dim;
  IndexCore<Store> core;
  Scratch<Store> scratch;
  std::vector<std::uint32_t> filled;
  std::unique_ptr<QuantizedBlocks> blocks;
};

// Filled lists start with the graph's list, then add distinct two-hop
// nodes, nearest first, up to 32, nearer on average than two-hop nodes are.
TEST(QuantizedBlocks, FilledListsAddTheNearestTwoHopNodesAfterTheGraphsList) {
  const std::size_t n = 600, dim = 40;
  const Built b(n, dim, clustered(n, dim, 3), true);
  std::size_t before = 0, after = 0;
  double filled_distance = 0.0, two_hop_distance = 0.0;
  std::size_t filled_count = 0, two_hop_count = 0;
  for (std::uint32_t node = 0; node < n; ++node) {
    const auto own = b.core.graph.links(node, 0);
    const auto list = b.filled_list(node);
    ASSERT_TRUE(std::equal(own.begin(), own.end(), list.begin())) << "node " << node;
    std::set<std::uint32_t> two_hop;
    for (std::uint32_t first : own)
      for (std::uint32_t second : b.core.graph.links(first, 0)) two_hop.insert(second);
    two_hop.erase(node);
    for (std::uint32_t first : own) two_hop.erase(first);
    ASSERT_EQ(list.size(), std::min<std::size_t>(32, own.size() + two_hop.size())) << "node " << node;
    for (std::uint32_t other : two_hop) two_hop_distance += b.core.store.score_pair(node, other);
    two_hop_count += two_hop.size();
    for (std::size_t i = own.size(); i < list.size(); ++i) {
      filled_distance += b.core.store.score_pair(node, list[i]);
      ++filled_count;
      ASSERT_TRUE(two_hop.erase(list[i]))
          << "node " << node << ": " << list[i] << " twice or not two hops away";
      if (i > own.size()) {
        ASSERT_LE(b.core.store.score_pair(node, list[i - 1]), b.core.store.score_pair(node, list[i]));
      }
    }
    ASSERT_EQ(b.blocks->live(node), list.size() == 32 ? ~0u : (1u << list.size()) - 1u);
    before += own.size();
    after += list.size();
  }
  EXPECT_GT(after, before);
  EXPECT_LT(filled_distance / double(filled_count), 0.8 * two_hop_distance / double(two_hop_count));
}

TEST(QuantizedBlocks, HoldEachNodesListWithDeadLanesMasked) {
  const std::size_t n = 600, dim = 40;
  const Built b(n, dim, clustered(n, dim, 3));
  const QuantizedBlocks& blocks = *b.blocks;
  ASSERT_EQ(blocks.stride() % 64, 0u);
  std::size_t short_lists = 0;
  for (std::uint32_t node = 0; node < n; ++node) {
    const auto list = b.core.graph.links(node, 0);
    const std::uint32_t live = blocks.live(node);
    for (std::size_t lane = 0; lane < QuantizedBlocks::kLanes; ++lane) {
      const bool used = lane < list.size();
      ASSERT_EQ(((live >> lane) & 1u) != 0, used) << "node " << node << ", lane " << lane;
      ASSERT_EQ(blocks.ids(node)[lane], used ? list[lane] : kNoNode) << "node " << node;
      if (!used) {
        ASSERT_EQ(blocks.add(node)[lane], 0);
        ASSERT_EQ(blocks.scale(node)[lane], 0);
      }
    }
    short_lists += list.size() < QuantizedBlocks::kLanes;
  }
  EXPECT_GT(short_lists, 0u) << "no block with dead lanes was checked";
}

// A block of 64 lanes holds, group by group, what a block of 32 lanes holds
// for that half of each list: same codes, factors, ids and live lanes (the
// rotation and the mean are the same), also for lists ending in either half.
TEST(QuantizedBlocks, EachGroupOfAWideBlockIsAOneGroupBlockOfItsHalfOfTheList) {
  const std::size_t n = 400, dim = 20, lanes = 64;
  const auto rows = clustered(n, dim, 4);
  Built b(n, dim, rows);
  auto graph_list = [&](std::uint32_t node) { return b.core.graph.links(node, 0); };
  auto distance = [&](std::uint32_t x, std::uint32_t y) { return b.core.store.score_pair(x, y); };
  const auto lists = filled_lists(n, graph_list, distance, lanes);
  // Some lists end in the first half, as a node's own list is cut short.
  std::vector<std::uint32_t> shortened(lists);
  for (std::uint32_t node = 0; node < n; node += 3)
    std::fill_n(shortened.begin() + node * lanes + 20 + node % 40, 44 - node % 40, kNoNode);
  auto whole = [&](std::uint32_t node) {
    const std::uint32_t* list = shortened.data() + std::size_t{node} * lanes;
    const auto end = std::find(list, list + lanes, kNoNode);
    return std::span<const std::uint32_t>(list, static_cast<std::size_t>(end - list));
  };
  auto row = [&](std::uint32_t node) { return b.core.store.rows().row(node); };
  const QuantizedBlocks wide(dim, n, row, whole, 7, false, lanes);
  ASSERT_EQ(wide.groups(), 2u);
  ASSERT_EQ(wide.stride() % 64, 0u);
  for (std::size_t group = 0; group < 2; ++group) {
    auto half = [&](std::uint32_t node) {
      const auto list = whole(node);
      const std::size_t from = std::min(list.size(), group * 32);
      return list.subspan(from, std::min<std::size_t>(32, list.size() - from));
    };
    const QuantizedBlocks narrow(dim, n, row, half, 7, false);
    for (std::uint32_t node = 0; node < n; ++node) {
      ASSERT_EQ(wide.live(node, group), narrow.live(node)) << node;
      ASSERT_EQ(0, std::memcmp(wide.codes(node, group), narrow.codes(node),
                               fast::edge_block_bytes(wide.code_dims())));
      ASSERT_EQ(0, std::memcmp(wide.add(node, group), narrow.add(node), 64 * sizeof(fast::HalfFactor)));
      ASSERT_EQ(0, std::memcmp(wide.ids(node, group), narrow.ids(node), 32 * sizeof(std::uint32_t)));
    }
  }
}

// Blocks built again after more nodes were linked, copying those whose
// codes cannot have changed, and then updated in place after more, are
// byte for byte the blocks encoded from nothing, with the first build's
// mean, from the lanes they hold; each node's layer-0 list leads its lanes,
// and most blocks were kept.
TEST(QuantizedBlocks, BuildsAfterAdditionsEncodeEveryLaneTheyHold) {
  const std::size_t n = 900, first = 870, dim = 24;
  const auto rows = clustered(n, dim, 8);
  Built b(first, dim, rows);
  b.core.store.reserve(n);
  b.core.graph.reserve(n, n);
  b.scratch.prepare(n, 32, 100);
  auto add_up_to = [&](std::size_t count) {
    for (std::size_t i = b.core.graph.size(); i < count; ++i) {
      b.core.store.append(rows.data() + i * dim);
      b.core.graph.append(0);
      insert_node<Store, false>(b.core, b.scratch, static_cast<std::uint32_t>(i));
    }
  };
  auto expect_encoded = [&](const QuantizedBlocks& blocks, const QuantizedBlocks& earlier) {
    const std::size_t count = b.core.graph.size();
    auto lanes_of = [&](std::uint32_t node) {
      const std::uint32_t* ids = blocks.ids(node);
      return std::span<const std::uint32_t>(
          ids, static_cast<std::size_t>(std::find(ids, ids + 32, kNoNode) - ids));
    };
    const QuantizedBlocks fresh(
        dim, count, [&](std::uint32_t node) { return b.core.store.rows().row(node); }, lanes_of,
        quantized_seed(b.core.options), false, 32, run_in_one_chunk,
        BlockReuse{&earlier, [](std::uint32_t) { return false; }});
    ASSERT_EQ(blocks.size(), count);
    for (std::uint32_t node = 0; node < count; ++node) {
      ASSERT_EQ(0, std::memcmp(blocks.data(node), fresh.data(node), blocks.stride())) << node;
      const auto list = b.core.graph.links(node, 0);
      ASSERT_TRUE(std::equal(list.begin(), list.end(), blocks.ids(node))) << node;
    }
  };
  ReadLists read;
  const auto earlier = build_blocks(b.core, nullptr, read);
  add_up_to(885);
  const auto later = build_blocks(b.core, earlier.get(), read);
  ASSERT_GE(later->capacity(), n) << "a rebuild after growth leaves room";
  expect_encoded(*later, *earlier);
  std::size_t unchanged = 0;
  for (std::uint32_t node = 0; node < first; ++node)
    unchanged += std::memcmp(later->data(node), earlier->data(node), later->stride()) == 0;
  EXPECT_GT(unchanged, first / 2) << "few blocks were kept";
  add_up_to(n);
  ASSERT_TRUE(update_blocks(b.core, *later, read));
  expect_encoded(*later, *earlier);
}

// Rows overwritten in place (a removed node's slot reused) under lists
// that stay as they were: a build told of them encodes anew every block
// that reads them, so each block is byte for byte its lanes encoded from
// the rows as they are now; one not told would keep blocks coded from the
// old rows.
TEST(QuantizedBlocks, ABuildToldOfRewrittenRowsEncodesTheRowsAsTheyAre) {
  const std::size_t n = 600, dim = 24;
  const auto rows = clustered(n, dim, 8);
  Built b(n, dim, rows);
  ReadLists read;
  const auto earlier = build_blocks(b.core, nullptr, read);
  const std::vector<std::uint32_t> rewritten{5, 77, 300, 599};
  for (const std::uint32_t node : rewritten) b.core.store.replace(node, rows.data() + (node + 11) % n * dim);
  ReadLists untold = read;
  read.rewritten = rewritten;
  const auto later = build_blocks(b.core, earlier.get(), read);
  EXPECT_TRUE(read.rewritten.empty());
  const auto stale = build_blocks(b.core, earlier.get(), untold);
  // How the lanes a set of blocks holds encode from the rows as they are now.
  auto encoded = [&](const QuantizedBlocks& blocks) {
    auto lanes_of = [&](std::uint32_t node) {
      const std::uint32_t* ids = blocks.ids(node);
      return std::span<const std::uint32_t>(
          ids, static_cast<std::size_t>(std::find(ids, ids + 32, kNoNode) - ids));
    };
    return QuantizedBlocks(
        dim, n, [&](std::uint32_t node) { return b.core.store.rows().row(node); }, lanes_of,
        quantized_seed(b.core.options), false, 32, run_in_one_chunk,
        BlockReuse{earlier.get(), [](std::uint32_t) { return false; }});
  };
  const QuantizedBlocks fresh = encoded(*later), stale_fresh = encoded(*stale);
  std::size_t kept = 0, stale_blocks = 0;
  for (std::uint32_t node = 0; node < n; ++node) {
    ASSERT_EQ(0, std::memcmp(later->data(node), fresh.data(node), later->stride())) << node;
    kept += std::memcmp(later->data(node), earlier->data(node), later->stride()) == 0;
    stale_blocks += std::memcmp(stale->data(node), stale_fresh.data(node), later->stride()) != 0;
  }
  EXPECT_GT(kept, n / 2) << "the build copied too few blocks";
  EXPECT_GT(stale_blocks, 0u) << "the rows' change reached no block: the test tells nothing";
}

class QuantizedWalk : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

// Recall@10 against a plain scan at ef 100 (measured 0.99 at 12 dimensions,
// whose codes are padded to 32 values, and 0.96 at 100).
TEST_P(QuantizedWalk, FindsTheNearestWithExactDistances) {
  const auto [dim, fill] = GetParam();
  const std::size_t n = 3000, k = 10, queries = 100;
  Built b(n, dim, clustered(n, dim, 9), fill);
  const auto asked = clustered(queries + 60, dim, 21);
  const auto floats = fast::fast_kernels<float>(fast::Measure::SquaredEuclidean);
  QuantizedWalkScratch s(*b.blocks, 100);
  std::size_t found = 0;
  for (std::size_t q = 0; q < queries; ++q) {
    const Store::Query query = b.core.store.prepare(asked.data() + q * dim, b.scratch.query, 0);
    std::vector<Scored<float>> exact(n);
    for (std::uint32_t node = 0; node < n; ++node) exact[node] = {b.core.store.score(query, node), node};
    std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
    const std::uint32_t entry = descend(b.core, b.scratch, query);
    quantized_walk(*b.blocks, b.core.store.rows(), fast::fastscan_kernels(), floats, s, query, entry, 100, k);
    ASSERT_EQ(s.results.size(), k);
    std::set<std::uint32_t> truth;
    for (std::size_t i = 0; i < k; ++i) truth.insert(exact[i].node);
    for (const Scored<float>& r : s.results) {
      ASSERT_LT(r.node, n);
      ASSERT_FLOAT_EQ(r.distance, b.core.store.score(query, r.node));
      // Ties at the k-th distance (copies) count as found.
      found += truth.contains(r.node) || r.distance <= exact[k - 1].distance;
    }
  }
  // An entry that names no node (an empty graph's) finds nothing.
  quantized_walk(*b.blocks, b.core.store.rows(), fast::fastscan_kernels(), floats, s,
                 b.core.store.rows().row(0), kNoNode, 100, k);
  EXPECT_TRUE(s.results.empty());
  const double recall = double(found) / double(queries * k);
  RecordProperty("recall", std::to_string(recall));
  EXPECT_GE(recall, 0.93) << "dim " << dim << (fill ? ", lists filled" : "");
}

INSTANTIATE_TEST_SUITE_P(DimsAndFill, QuantizedWalk,
                         ::testing::Combine(::testing::Values(std::size_t{12}, std::size_t{100}),
                                            ::testing::Bool()),
                         [](const auto& test) {
                           return "dim" + std::to_string(std::get<0>(test.param)) +
                                  (std::get<1>(test.param) ? "_filled" : "");
                         });

}  // namespace
}  // namespace hobrin::ann
