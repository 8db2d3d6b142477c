// The fast check of whole runs of link lists against the list-by-list check:
// the same verdict and, for a run with a fault, the same message.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/graph/graph.hpp"

namespace hobrin::ann::format {
namespace {

template <class Check>
std::optional<std::string> refusal(Check check) {
  try {
    check();
  } catch (const CorruptIndex& error) {
    return error.what();
  }
  return std::nullopt;
}

TEST(CheckLists, AgreesWithTheListByListCheck) {
  std::mt19937 rng(5);
  constexpr std::size_t kWidth = 6, kLists = 40, kNodes = 50;
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<std::uint32_t> slots(kWidth * kLists, kNoNode);
    for (std::size_t list = 0; list < kLists; ++list) {
      const std::size_t used = rng() % (kWidth + 1);
      for (std::size_t j = 0; j < used; ++j) slots[list * kWidth + j] = rng() % kNodes;
    }
    // One fault in most trials: a node out of range (at the edges too), or a gap.
    const std::size_t at = rng() % slots.size();
    switch (trial % 4) {
      case 0: slots[at] = kNodes + rng() % 3; break;
      case 1: slots[at] = kNoNode - 1; break;
      case 2: slots[at] = rng() % kNodes; break;  // a gap when an empty slot comes before it
      default: break;                             // sound
    }
    const auto fast = refusal([&] { check_lists(slots.data(), kLists, kWidth, kNodes, 100, 0); });
    const auto slow = refusal([&] {
      for (std::size_t list = 0; list < kLists; ++list)
        check_list({slots.data() + list * kWidth, kWidth}, kNodes, 100 + list, 0);
    });
    ASSERT_EQ(fast, slow) << "trial " << trial;
  }
}

}  // namespace
}  // namespace hobrin::ann::format
