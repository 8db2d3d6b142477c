// Nanoseconds per block of 32 neighbours for the edge-code scan (tables,
// sums and the estimates' epilogue), beside 32 float32 and 32 int8
// distances as a walk computes them today (rows at random among 20,000).
// Warm: one block scored again and again (in cache); cold: blocks at random
// among 20,000 (the codes of a walk's next node, not yet in cache).
// Each figure is the least of 8 runs. Disabled by default; run with
//   build/wheel/core_tests --gtest_also_run_disabled_tests --gtest_filter='*FastScanSpeed*'
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "aligned_array.hpp"
#include "hobrin_ann/kernels/codes.hpp"
#include "hobrin_ann/kernels/fastscan.hpp"
#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast {
namespace {

constexpr std::size_t kCount = 20000;  // blocks, and rows
constexpr std::size_t kRounds = 40000;

// Nanoseconds per call of score(round): the least of 8 runs of kRounds / 8
// calls, as other processes share the machine.
template <class Score>
double ns_per_round(Score&& score) {
  score(0);  // warm up
  double least = HUGE_VAL;
  constexpr std::size_t per_run = kRounds / 8;
  for (std::size_t run = 0; run < 8; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t r = run * per_run; r < (run + 1) * per_run; ++r) score(r);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    least = std::min(least, took.count() / static_cast<double>(per_run));
  }
  return least;
}

TEST(DISABLED_FastScanSpeed, NanosecondsPerBlockOf32) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<std::uint32_t> order(kRounds + kEdgeLanes);
  for (auto& n : order) n = static_cast<std::uint32_t>(rng() % kCount);
  for (std::size_t dim : {384u, 784u}) {
    const std::size_t dims = edge_code_dims(dim);
    const std::size_t block_bytes = edge_block_bytes(dims);
    auto blocks = aligned<std::uint8_t>(kCount * block_bytes);
    for (std::size_t i = 0; i < kCount * block_bytes; ++i) blocks[i] = static_cast<std::uint8_t>(rng());
    std::vector<float> q(dims), out(kEdgeLanes);
    std::vector<HalfFactor> add(kEdgeLanes, half_factor(1.0f)), scale(kEdgeLanes, half_factor(-0.5f));
    for (float& v : q) v = uniform(rng);
    std::vector<std::uint8_t> tables(edge_table_bytes(dims));
    std::uint32_t sink = 0;
    for (const char* variant : {"baseline", "avx2", "avx512", "neon"}) {
      const FastScanKernels k = fastscan_kernels(variant);
      if (k.estimates == nullptr) continue;
      const double prepare = ns_per_round(
          [&](std::size_t) { sink += prepare_edge_query(q.data(), dims, tables.data()).tables[3]; });
      const EdgeQuery query = prepare_edge_query(q.data(), dims, tables.data());
      auto scan = [&](const std::uint8_t* block) {
        sink += k.estimates(query, block, add.data(), scale.data(), 2.0f, 1.0f, ~0u, out.data());
      };
      const double warm = ns_per_round([&](std::size_t) { scan(blocks.get()); });
      const double cold = ns_per_round([&](std::size_t r) {
        const std::uint8_t* next = blocks.get() + std::size_t{order[r + 1]} * block_bytes;
        for (std::size_t line = 0; line < 8 * 64; line += 64) __builtin_prefetch(next + line);
        scan(blocks.get() + std::size_t{order[r]} * block_bytes);
      });
      std::printf("dims %4zu %-8s edge codes: warm %6.1f ns, cold %6.1f ns per block; tables %6.1f ns\n",
                  dims, variant, warm, cold, prepare);
    }
    // Today's walk: 32 rows at random, float32 and int8 (squared Euclidean).
    const std::size_t stride = padded_length<float>(dim);
    auto rows = aligned<float>(kCount * stride);
    for (std::size_t i = 0; i < kCount * stride; ++i) rows[i] = i % stride < dim ? uniform(rng) : 0.0f;
    const std::size_t code_bytes = code_row_bytes(Code::Int8, dim);
    const std::size_t cdims = code_dims(Code::Int8, dim);
    auto codes = aligned<std::uint8_t>(kCount * code_bytes);
    for (std::size_t i = 0; i < kCount * code_bytes; ++i) codes[i] = static_cast<std::uint8_t>(rng());
    std::vector<float> offset(cdims, -1.0f), step(cdims, 2.0f / 255.0f), prepared(cdims), padded(cdims, 0.0f);
    std::copy_n(rows.get(), dim, padded.data());
    const CodeQuery cq = prepare_code_query(Code::Int8, Measure::SquaredEuclidean, padded.data(), cdims,
                                            {offset.data(), step.data()}, prepared.data());
    for (const char* variant : {"baseline", "avx2", "avx512", "neon"}) {
      const auto floats = fast_kernels<float>(Measure::SquaredEuclidean, variant);
      const CodeKernels int8 = code_kernels(Code::Int8, Measure::SquaredEuclidean, variant);
      if (floats.batch == nullptr || int8.batch == nullptr) continue;
      const double f32 = ns_per_round([&](std::size_t r) {
        floats.batch(rows.get(), rows.get(), stride, order.data() + r % kRounds, kEdgeLanes, stride,
                     HUGE_VALF, out.data());
        sink += out[0] > 0.0f;
      });
      const double i8 = ns_per_round([&](std::size_t r) {
        int8.batch(cq, codes.get(), code_bytes, order.data() + r % kRounds, kEdgeLanes, cdims, HUGE_VALF,
                   out.data());
        sink += out[0] > 0.0f;
      });
      std::printf("dim  %4zu %-8s 32 rows at random: float32 %7.1f ns, int8 %7.1f ns\n", dim, variant, f32,
                  i8);
    }
    EXPECT_NE(sink, 0xdeadbeefu);
  }
}

}  // namespace
}  // namespace hobrin::fast
