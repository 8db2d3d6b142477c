// The walks' bounded max-heap of results: whatever the order of the hits,
// it ends holding the `limit` smallest (distance, node) pairs, as a sort of
// all of them would, ties in distance included.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "hobrin_ann/search/search_layer.hpp"

namespace hobrin::ann {
namespace {

TEST(KeepBest, HoldsTheSmallestHitsOfAnyStream) {
  std::mt19937 rng(5);
  for (const std::size_t limit : {0u, 1u, 2u, 7u, 16u, 64u}) {
    for (const std::size_t count : {0u, 1u, 15u, 16u, 17u, 300u}) {
      std::vector<Scored<float>> all, best;
      for (std::size_t i = 0; i < count; ++i) {
        // Few distinct distances: many ties, ordered by node.
        all.push_back({static_cast<float>(rng() % 23), static_cast<std::uint32_t>(i)});
        keep_best(best, all.back(), limit);
        ASSERT_TRUE(std::is_heap(best.begin(), best.end()));
        ASSERT_LE(best.size(), limit);
      }
      std::sort(all.begin(), all.end());
      all.resize(std::min(all.size(), limit));
      std::sort_heap(best.begin(), best.end());
      ASSERT_EQ(best.size(), all.size()) << "limit " << limit << ", " << count << " hits";
      for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(best[i].distance, all[i].distance);
        EXPECT_EQ(best[i].node, all[i].node);
      }
    }
  }
}

}  // namespace
}  // namespace hobrin::ann
