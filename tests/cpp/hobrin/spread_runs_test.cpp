// Scoring a batch as runs side by side: every item scored once and its own
// score handed back for it, the scratch never written past its room, and the
// vectors of each step taken one from each run.
#include "hobrin/distance/spread_runs.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <tuple>
#include <vector>

namespace hobrin {
namespace {

// A metric outside the three, so the scorer calls it pair by pair: it records
// the order in which stored vectors are scored and scores each by its value.
std::vector<double>* g_scored = nullptr;
double record_and_score(VectorView, VectorView row) {
  g_scored->push_back(row[0]);
  return row[0] * 2.0 + 0.5;
}

// count, runs, room
using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;
class SpreadRuns : public ::testing::TestWithParam<Shape> {};

TEST_P(SpreadRuns, ScoresEachItemOnceInsideTheRoom) {
  const auto [count, runs, room] = GetParam();
  std::vector<double> values(count);  // item i's vector is the one value i
  for (std::size_t i = 0; i < count; ++i) values[i] = double(i);
  const std::vector<double> query{0.0};
  const BatchScorer scorer(record_and_score, query, 1);

  constexpr std::size_t kGuard = 8;
  constexpr double kUntouched = -7.0;
  std::vector<const double*> rows(room + kGuard, nullptr);
  std::vector<double> out(room + kGuard, kUntouched);
  std::vector<double> scored;
  g_scored = &scored;
  std::vector<int> taken(count, 0);
  score_side_by_side(
      scorer, count, runs, [&](std::size_t i) { return &values[i]; },
      [&](std::size_t i, double score) {
        ASSERT_LT(i, count);
        ++taken[i];
        EXPECT_EQ(score, double(i) * 2.0 + 0.5) << "item " << i;
      },
      rows.data(), out.data(), room);
  g_scored = nullptr;

  for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(taken[i], 1) << "item " << i;
  ASSERT_EQ(scored.size(), count);
  for (std::size_t j = room; j < room + kGuard; ++j) {
    EXPECT_EQ(rows[j], nullptr);
    EXPECT_EQ(out[j], kUntouched);
  }
  // Step s of the runs reads item s of run 0, 1, .. in turn; what is left over
  // follows in item order.
  const std::size_t run = count / runs;
  for (std::size_t p = 0; p < count; ++p) {
    const std::size_t expected = p < runs * run ? (p % runs) * run + p / runs : p;
    EXPECT_EQ(scored[p], double(expected)) << "position " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SpreadRuns,
                         ::testing::Values(Shape{0, 16, 128},     // nothing to score
                                           Shape{5, 16, 128},     // fewer items than runs: all left over
                                           Shape{16, 16, 16},     // one step, room for exactly one
                                           Shape{200, 16, 128},  // a full call, a partial one, 8 left over
                                           Shape{1037, 16, 128},  // many calls, 13 left over
                                           Shape{79, 16, 79},  // room for the whole batch, 15 left over
                                           Shape{300, 1, 128},  // one run: item order, several calls
                                           Shape{260, 128, 128},  // one step per call
                                           Shape{23, 3, 7}));  // room not a multiple of the runs

}  // namespace
}  // namespace hobrin
