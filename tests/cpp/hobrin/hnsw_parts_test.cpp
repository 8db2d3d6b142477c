// The small pieces of the graph index: result-list order, level draw, the
// visited set and the neighbour lists.
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "hobrin/distance/kernels.hpp"
#include "hobrin/hnsw/level_sampler.hpp"
#include "hobrin/hnsw/neighbour_lists.hpp"
#include "hobrin/hnsw/result_list.hpp"
#include "hobrin/hnsw/visited_scan.hpp"
#include "hobrin/hnsw/visited_set.hpp"

namespace hobrin {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<NodeId> ids(const std::vector<Candidate>& list) {
  std::vector<NodeId> out;
  for (const Candidate& c : list) out.push_back(c.id);
  return out;
}

struct PositionCase {
  std::vector<double> list;
  double distance;
  std::size_t position;
};

class ResultPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(ResultPosition, FollowsTheEqualRunRule) {
  std::vector<Candidate> list;
  for (double d : GetParam().list) list.push_back({d, list.size()});
  EXPECT_EQ(result_position(list, GetParam().distance), GetParam().position);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResultPosition,
    ::testing::Values(PositionCase{{}, 1.0, 0}, PositionCase{{1, 2, 3}, 0.5, 0},
                      PositionCase{{1, 2, 3}, 2.5, 2}, PositionCase{{1, 2, 3}, 9, 3},
                      // Among equal entries: immediately before the last of them.
                      PositionCase{{1, 2, 3}, 2, 1}, PositionCase{{1, 2, 2, 2, 3}, 2, 3},
                      PositionCase{{0.0, 1}, -0.0, 0}, PositionCase{{-0.0, 0.0, 1}, 0.0, 1},
                      PositionCase{{1, HUGE_VAL, HUGE_VAL}, HUGE_VAL, 2},
                      PositionCase{{-HUGE_VAL, -HUGE_VAL, 0}, -HUGE_VAL, 1},
                      // NaN ranks after every number and equals NaN.
                      PositionCase{{1, kNaN}, 5, 1}, PositionCase{{1, kNaN, kNaN}, kNaN, 2},
                      PositionCase{{1, 2}, kNaN, 2}, PositionCase{{-HUGE_VAL, HUGE_VAL}, kNaN, 2}));

TEST(Admit, FullListUsesPlainLessThan) {
  std::vector<Candidate> list;
  EXPECT_TRUE(admit(list, 2, {kNaN, 0}));   // room: NaN is admitted
  EXPECT_TRUE(admit(list, 2, {3.0, 1}));
  EXPECT_FALSE(admit(list, 2, {kNaN, 2}));  // full: NaN is never less
  EXPECT_FALSE(admit(list, 2, {-1.0, 3}));  // full with a NaN last entry: nothing
  EXPECT_TRUE(admit(list, 3, {3.0, 4}));    // room again: before the last equal
  EXPECT_EQ(ids(list), (std::vector<NodeId>{4, 1, 0}));

  std::vector<Candidate> full{{1.0, 0}, {2.0, 1}};
  EXPECT_FALSE(admit(full, 2, {2.0, 2}));   // equal to the last: not less
  EXPECT_TRUE(admit(full, 2, {1.0, 3}));    // pushes the last entry out
  EXPECT_EQ(ids(full), (std::vector<NodeId>{3, 0}));

  // A huge ef reserves nothing: the list grows only by admissions.
  std::vector<Candidate> open;
  for (NodeId i = 0; i < 4; ++i) {
    EXPECT_TRUE(admit(open, std::numeric_limits<std::uint64_t>::max(), {1.0, i}));
  }
  EXPECT_EQ(ids(open), (std::vector<NodeId>{1, 2, 3, 0}));
}

TEST(LevelDraw, WalksTheRunningSum) {
  const std::array<double, 3> w{1.0, 0.5, 0.25};  // total 1.75
  const double total = weight_total(w);
  EXPECT_EQ(total, 1.75);
  EXPECT_EQ(level_for(w, total, 0.0), 0u);
  EXPECT_EQ(level_for(w, total, 1.0 / 1.75 - 0x1.0p-40), 0u);
  EXPECT_EQ(level_for(w, total, 1.0 / 1.75 + 0x1.0p-40), 1u);
  EXPECT_EQ(level_for(w, total, 0.99), 2u);
  EXPECT_EQ(level_for(w, total, 1.0), 2u);  // no index qualifies: top layer
  EXPECT_EQ(level_for({}, 0.0, 0.5), 0u);   // no layers at all
}

TEST(LevelDraw, FrequenciesFollowTheWeights) {
  for (std::size_t layers : {1u, 5u, 12u}) {
    std::vector<double> w;
    for (std::size_t i = 0; i < layers; ++i) w.push_back(std::exp(-static_cast<double>(i)));
    const double total = weight_total(w);
    std::vector<int> counts(layers, 0);
    std::mt19937_64 rng(1234 + layers);
    const int draws = 200000;
    for (int i = 0; i < draws; ++i) {
      const auto level = level_for(w, total, uniform_unit(rng));
      ASSERT_LT(level, layers);
      ++counts[level];
    }
    for (std::size_t i = 0; i < layers; ++i) {
      EXPECT_NEAR(counts[i] / double(draws), w[i] / total, 0.005) << "layers " << layers << " level " << i;
    }
  }
}

TEST(VisitedSet, ResetsInConstantTimeAndSurvivesWrapping) {
  BasicVisitedSet<std::uint8_t> set;  // a narrow tag wraps every 255 resets
  for (int round = 0; round < 600; ++round) {
    set.reset(8 + round % 3);
    for (NodeId id = 0; id < 8; ++id) ASSERT_FALSE(set.contains(id)) << "round " << round;
    EXPECT_TRUE(set.insert(round % 8));
    EXPECT_FALSE(set.insert(round % 8));
    EXPECT_TRUE(set.contains(round % 8));
  }
}

// Each scan variant this CPU runs: the unvisited entries, in list order, for
// lists of every length around the vector width.
TEST(VisitedScan, VariantsKeepExactlyTheUnvisitedEntriesInOrder) {
  std::vector<UnvisitedScan> scans{scalar_scan::unvisited};
#if defined(__x86_64__) || defined(__i386__)
  if (kernel_set(KernelVariant::AVX2) != nullptr) scans.push_back(avx2_scan::unvisited);
#endif
  scans.push_back(active_unvisited_scan());
  std::mt19937_64 rng(3);
  const std::uint32_t epoch = 7;
  std::vector<std::uint32_t> tags(500);
  for (auto& t : tags) t = rng() % 3 == 0 ? epoch : epoch - 1 + 2 * std::uint32_t(rng() % 2);
  for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 40u, 333u}) {
    std::vector<std::uint32_t> ids(count);
    for (auto& id : ids) id = static_cast<std::uint32_t>(rng() % tags.size());
    std::vector<std::uint32_t> expected;
    for (std::uint32_t id : ids)
      if (tags[id] != epoch) expected.push_back(id);
    for (UnvisitedScan scan : scans) {
      std::vector<std::uint32_t> out(count + 1, 12345);
      const std::size_t found = scan(ids.data(), count, tags.data(), epoch, out.data());
      EXPECT_EQ(std::vector<std::uint32_t>(out.begin(), out.begin() + found), expected) << count;
      EXPECT_EQ(out[found], 12345u) << count;
    }
  }
}

std::vector<NodeId> as_ids(std::span<const NeighbourId> list) { return {list.begin(), list.end()}; }

// What the searches read: per layer, the first occurrences of the entries that
// reach it, and how many nodes of each layer some list names; and undoing
// appends or dropping nodes restores exactly that.
TEST(NeighbourLists, SearchedSubsequencesNamedCountsAndUndo) {
  using V = std::vector<NodeId>;
  NeighbourLists lists;
  lists.add_node(2);
  lists.add_node(0);
  lists.append(1, 0);
  lists.append(0, 1);
  lists.add_node(1);
  // Linking node 2 (level 1) next to node 0 (level 2) and node 1 (level 0).
  lists.append(2, 0);
  lists.append(2, 1);
  lists.append(0, 2);
  lists.append(0, 2);  // a second pass finds node 0 again
  lists.append(2, 2);  // the node lists itself
  lists.append(2, 0);
  lists.append(1, 2);
  EXPECT_EQ(as_ids(lists.of(2)), (V{0, 1, 2, 0}));
  EXPECT_EQ(as_ids(lists.searched(2, 0)), (V{0, 1, 2}));
  EXPECT_EQ(as_ids(lists.searched(2, 1)), (V{0, 2}));
  EXPECT_EQ(as_ids(lists.searched(2, 2)), (V{0}));
  EXPECT_TRUE(lists.searched(2, 3).empty());
  EXPECT_EQ(as_ids(lists.of(0)), (V{1, 2, 2}));
  EXPECT_EQ(as_ids(lists.searched(0, 0)), (V{1, 2}));
  EXPECT_EQ(as_ids(lists.searched(0, 1)), (V{2}));
  EXPECT_TRUE(lists.searched(0, 2).empty());
  EXPECT_EQ((V{lists.named_count(0), lists.named_count(1), lists.named_count(2)}), (V{3, 2, 1}));
  EXPECT_THROW(lists.append(1, 0), InternalFault);  // names neither the newest nor its list

  lists.drop_last(0);  // the copy goes, the first occurrence stays
  EXPECT_EQ(as_ids(lists.of(0)), (V{1, 2}));
  EXPECT_EQ(as_ids(lists.searched(0, 1)), (V{2}));
  lists.drop_last(0);
  lists.drop_last(1);
  EXPECT_EQ(as_ids(lists.searched(0, 0)), (V{1}));
  EXPECT_TRUE(lists.searched(0, 1).empty());
  EXPECT_EQ(as_ids(lists.searched(1, 0)), (V{0}));
  EXPECT_EQ(as_ids(lists.searched(1, 2)), (V{0}));
  EXPECT_TRUE(lists.named(2));  // it still lists itself
  lists.truncate_nodes(2);
  EXPECT_EQ((V{lists.named_count(0), lists.named_count(1), lists.named_count(2)}), (V{2, 1, 1}));
  // A new node starts with none of the previous newest node's entries marked.
  lists.add_node(1);
  lists.append(2, 0);
  EXPECT_EQ(as_ids(lists.searched(2, 2)), (V{0}));
  EXPECT_EQ((V{lists.named_count(0), lists.named_count(1), lists.named_count(2)}), (V{2, 1, 1}));
  lists.append(0, 2);
  EXPECT_EQ((V{lists.named_count(0), lists.named_count(1), lists.named_count(2)}), (V{3, 2, 1}));
}

}  // namespace
}  // namespace hobrin
