// Nanoseconds per distance of the code kernels beside the float32 kernel, as
// a walk meets them: batches of 32 rows in random order from 50,000. Disabled
// by default; run with
//   build/tests/core_tests --gtest_also_run_disabled_tests --gtest_filter='*CodeKernelSpeed*'
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "aligned_array.hpp"
#include "hobrin_ann/kernels/codes.hpp"
#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast {
namespace {

constexpr std::size_t kRows = 50000;
constexpr std::size_t kBatch = 32;
constexpr std::size_t kBatches = 20000;

template <class Score>
double ns_per_distance(const std::vector<std::uint32_t>& nodes, Score&& score) {
  float out[kBatch];
  float sink = 0;
  score(nodes.data(), out);  // warm up
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t b = 0; b < kBatches; ++b) {
    score(nodes.data() + (b * kBatch) % (nodes.size() - kBatch), out);
    sink += out[0];
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(sink, sink);
  return took.count() / static_cast<double>(kBatches * kBatch);
}

TEST(DISABLED_CodeKernelSpeed, NanosecondsPerDistance) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(0.0f, 255.0f);
  std::vector<std::uint32_t> nodes(1 << 16);
  for (auto& n : nodes) n = static_cast<std::uint32_t>(rng() % kRows);
  for (std::size_t dim : {64u, 784u}) {
    const std::size_t stride = padded_length<float>(dim);
    auto rows = aligned<float>(kRows * stride);
    std::vector<float> plain(kRows * dim);
    for (std::size_t i = 0; i < kRows; ++i) {
      for (std::size_t j = 0; j < stride; ++j) rows[i * stride + j] = j < dim ? uniform(rng) : 0.0f;
      std::copy_n(rows.get() + i * stride, dim, plain.data() + i * dim);
    }
    const float* query = rows.get() + 7 * stride;
    for (Measure measure : {Measure::SquaredEuclidean, Measure::NegativeDot}) {
      for (const char* variant : {"baseline", "avx2", "avx512"}) {
        const auto floats = fast_kernels<float>(measure, variant);
        if (floats.batch == nullptr) continue;
        std::printf("dim %4zu %-9s %-8s float32 %6.1f ns", dim,
                    measure == Measure::SquaredEuclidean ? "euclidean" : "dot", variant,
                    ns_per_distance(nodes, [&](const std::uint32_t* n, float* out) {
                      floats.batch(query, rows.get(), stride, n, kBatch, stride, HUGE_VALF, out);
                    }));
        for (Code code : {Code::Float16, Code::Int8, Code::Int4}) {
          const std::size_t dims = code_dims(code, dim);
          const std::size_t bytes = code_row_bytes(code, dim);
          std::vector<float> offset(dims), scale(dims), padded(dims, 0.0f), prepared(dims);
          CodeRange range(dim);
          for (std::size_t i = 0; i < kRows; ++i) range.widen(plain.data() + i * dim);
          range.learn(code, offset.data(), scale.data());
          auto codes = aligned<std::uint8_t>(kRows * bytes);
          for (std::size_t i = 0; i < kRows; ++i)
            encode_row(code, plain.data() + i * dim, dim, {offset.data(), scale.data()},
                       codes.get() + i * bytes);
          std::copy_n(query, dim, padded.data());
          const CodeQuery q = prepare_code_query(code, measure, padded.data(), dims,
                                                 {offset.data(), scale.data()}, prepared.data());
          const CodeKernels kernels = code_kernels(code, measure, variant);
          std::printf("  %s %6.1f ns",
                      code == Code::Float16 ? "f16"
                      : code == Code::Int8  ? "int8"
                                            : "int4",
                      ns_per_distance(nodes, [&](const std::uint32_t* n, float* out) {
                        kernels.batch(q, codes.get(), bytes, n, kBatch, dims, HUGE_VALF, out);
                      }));
        }
        std::printf("\n");
      }
    }
  }
}

}  // namespace
}  // namespace hobrin::fast
