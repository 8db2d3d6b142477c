// Allocation failure at every point of an insertion: the exception reaches the
// caller and the index is left exactly as it was, so that the same vector
// inserted afterwards, with another metadata row, yields the same graph and
// rows as on an index that never failed.
//
// This program's global operator new is replaced by one that can be armed to
// fail from its n-th call on; unarmed, it is a plain malloc.
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "graph_fixtures.hpp"
#include "hobrin/hnsw/hnsw.hpp"

namespace {
std::atomic<long> allocations_left{-1};  // -1: never fail
}  // namespace

void* operator new(std::size_t size) {
  const long left = allocations_left.load(std::memory_order_relaxed);
  if (left == 0) throw std::bad_alloc();
  if (left > 0) allocations_left.store(left - 1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The matching deallocation: every pointer handed out above came from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace hobrin {
namespace {

using namespace hobrin::testing;

class FailingAllocations {
 public:
  explicit FailingAllocations(long after) { allocations_left.store(after); }
  ~FailingAllocations() { allocations_left.store(-1); }
};

TEST(HNSWRollback, AllocationFailureAnywhereLeavesTheIndexAsItWas) {
  using namespace std::string_literals;
  HNSW base(config(3, 3, 8, 8, Schema{"tag"}));
  std::mt19937_64 rng(21);
  const auto vectors = random_vectors(40, 3, 21);
  std::vector<MetadataRow> rows;
  for (std::size_t i = 0; i < vectors.size(); ++i) rows.push_back({{std::int64_t(i % 3)}});
  ASSERT_TRUE(base.create(VectorList(vectors), rows, rng));

  const std::vector<double> vector{0.05, -0.1, 0.2};
  const MetadataRow row{{"new"s}};
  // The retry carries a different row, so that a row left behind by the failed
  // attempt cannot pass for the retry's own.
  const MetadataRow retry_row{{"retry"s}};
  HNSW reference = base;
  std::mt19937_64 reference_rng(99);
  ASSERT_TRUE(reference.insert(vector, &row, reference_rng));
  HNSW retry_reference = base;
  std::mt19937_64 retry_reference_rng(99);
  ASSERT_TRUE(retry_reference.insert(vector, &retry_row, retry_reference_rng));
  const Snapshot before = snapshot(base);
  const Snapshot after = snapshot(reference);
  const Snapshot after_retry = snapshot(retry_reference);
  ASSERT_EQ(after_retry.metadata_nodes, retry_reference.size());
  // What searches answer, which also depends on what the lists keep beside
  // the entries a snapshot shows.
  const auto queries = random_vectors(12, 3, 22);
  const auto answers = [&](const HNSW& index) {
    std::vector<std::vector<NodeId>> out;
    for (const auto& q : queries) out.push_back(ids(*index.search(q, 5, nullptr)));
    return out;
  };
  const auto answers_before = answers(base);
  const auto answers_after = answers(reference);

  int failures = 0;
  for (long n = 0; n < 100000; ++n) {
    HNSW index = base;
    std::mt19937_64 attempt_rng(99);  // the same level every attempt
    bool threw = false;
    {
      FailingAllocations arm(n);
      try {
        (void)index.insert(vector, &row, attempt_rng);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    }
    if (!threw) {
      EXPECT_EQ(snapshot(index), after);
      break;
    }
    ++failures;
    ASSERT_EQ(snapshot(index), before) << "allocation " << n;
    ASSERT_EQ(answers(index), answers_before) << "allocation " << n;
    std::mt19937_64 retry_rng(99);
    ASSERT_TRUE(index.insert(vector, &retry_row, retry_rng));
    ASSERT_EQ(snapshot(index), after_retry) << "allocation " << n;
    ASSERT_EQ(answers(index), answers_after) << "allocation " << n;
  }
  // Several passes ran, so failures hit after back entries had been added.
  EXPECT_GT(failures, 10);
  EXPECT_GE(reference.level(40), 0u);
}

// A search that runs out of memory while its thread's scratch grows leaves
// that scratch usable: the next search on the thread answers as usual. Each
// attempt runs on a new thread, whose scratch starts empty.
TEST(HNSWRollback, AllocationFailureDuringASearchLeavesTheThreadUsable) {
  HNSW index(config(4, 3, 30, 30));
  std::mt19937_64 rng(5);
  ASSERT_TRUE(index.create(VectorList(random_vectors(300, 4, 5)), {}, rng));
  const std::vector<double> query{0.1, 0.2, -0.3, 0.4};
  const auto expected = index.search(query, 10, nullptr);
  ASSERT_TRUE(expected);
  int failures = 0;
  for (long n = 0; n < 1000; ++n) {
    bool threw = false;
    std::vector<NodeId> after;
    std::thread attempt([&] {
      {
        FailingAllocations arm(n);
        try {
          (void)index.search(query, 10, nullptr);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
      }
      after = ids(*index.search(query, 10, nullptr));
    });
    attempt.join();
    ASSERT_EQ(after, ids(*expected)) << "allocation " << n;
    if (!threw) break;
    ++failures;
  }
  EXPECT_GT(failures, 3);
}

}  // namespace
}  // namespace hobrin
