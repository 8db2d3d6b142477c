// An addition that fails after its nodes were linked: the undo takes them
// out of every list of the older nodes, which searches read.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "hobrin_ann/insert/add_transaction.hpp"
#include "hobrin_ann/insert/insert.hpp"
#include "hobrin_ann/store/full_rows.hpp"

namespace hobrin::ann {
namespace {

using Core = IndexCore<FullRows<float>>;

// Stores and links nodes [core.graph.size(), end) from `values`.
void append_and_link(Core& core, Scratch<FullRows<float>>& scratch, const std::vector<float>& values,
                     std::size_t end, std::mt19937_64& rng) {
  const std::size_t first = core.graph.size();
  for (std::size_t i = first; i < end; ++i) {
    core.store.append(values.data() + i * core.options.dim);
    core.graph.append(rng() % 6 == 0 ? 1 + static_cast<int>(rng() % 3) : 0);
    core.labels.push_back(static_cast<std::int64_t>(i));
  }
  for (std::size_t node = first; node < end; ++node)
    insert_node<FullRows<float>, true>(core, scratch, static_cast<std::uint32_t>(node));
}

TEST(AddTransaction, AnUndoneLinkedBatchLeavesNoLinkToItsNodes) {
  IndexOptions options{.dim = 6, .m = 4, .ef_construction = 30, .seed = {}, .schema = {}};
  Core core(options);
  const std::size_t before = 600;
  const std::size_t after = 1400;
  std::vector<float> values(after * options.dim);
  std::mt19937_64 rng(3);
  std::normal_distribution<float> normal;
  for (float& v : values) v = normal(rng);
  core.store.reserve(after);
  core.graph.reserve(after, after * 4);
  core.labels.reserve(after);
  Scratch<FullRows<float>> scratch(core.store);
  scratch.prepare(after, 2 * options.m, options.ef_construction);
  append_and_link(core, scratch, values, before, rng);

  std::vector<std::set<std::uint32_t>> lists;  // every list of the older nodes
  for (std::uint32_t node = 0; node < before; ++node) {
    for (int level = 0; level <= core.graph.level(node); ++level) {
      const auto list = core.graph.links(node, level);
      lists.emplace_back(list.begin(), list.end());
    }
  }
  const std::uint32_t entry = core.entry_point;
  const int top = core.top_level;
  const std::mt19937_64 rng_before = rng;
  {
    AddTransaction<FullRows<float>> transaction(core, rng, nullptr, before);
    transaction.nodes_appended();
    core.linking_from = before;
    append_and_link(core, scratch, values, after, rng);
    std::size_t to_new = 0;  // the batch was linked in: older lists point at it
    for (std::uint32_t node = 0; node < before; ++node) {
      for (const std::uint32_t to : core.graph.links(node, 0)) to_new += to >= before;
    }
    ASSERT_GT(to_new, before);
  }  // not committed: undone

  EXPECT_EQ(core.graph.size(), before);
  EXPECT_EQ(core.store.size(), before);
  EXPECT_EQ(core.labels.size(), before);
  EXPECT_EQ(core.entry_point, entry);
  EXPECT_EQ(core.top_level, top);
  EXPECT_FALSE(core.linking());
  EXPECT_TRUE(rng == rng_before);
  std::size_t at = 0;
  std::size_t kept = 0;
  for (std::uint32_t node = 0; node < before; ++node) {
    for (int level = 0; level <= core.graph.level(node); ++level) {
      const auto list = core.graph.links(node, level);
      // Only links to older nodes, each one the list had before the batch.
      for (const std::uint32_t to : list) ASSERT_TRUE(lists[at].contains(to)) << node << " -> " << to;
      const auto slots = core.graph.slots(node, level);
      ASSERT_TRUE(std::all_of(slots.begin() + static_cast<std::ptrdiff_t>(list.size()), slots.end(),
                              [](std::uint32_t s) { return s == kNoNode; }));
      kept += list.size();
      ++at;
    }
  }
  EXPECT_GT(kept, before * options.m);  // the older graph keeps most of its links
}

}  // namespace
}  // namespace hobrin::ann
