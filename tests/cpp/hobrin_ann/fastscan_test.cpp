// The edge-code scan in every variant the CPU runs, against a plain loop
// over unpacked sub-codes; the estimator's error against its bound on random
// data; neighbours equal to their node; blocks with dead lanes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "hobrin_ann/kernels/edge_codes.hpp"
#include "hobrin_ann/kernels/fastscan.hpp"
#include "hobrin_ann/kernels/rotation.hpp"

namespace hobrin::fast {
namespace {

unsigned sub_code(const std::uint8_t* bits, std::size_t m) { return (bits[m / 2] >> (4 * (m % 2))) & 15u; }

// The sum of lane bits' table bytes, one sub-code at a time.
std::uint32_t plain_sum(const std::uint8_t* tables, const std::uint8_t* bits, std::size_t dims) {
  std::uint32_t sum = 0;
  for (std::size_t m = 0; m < dims / 4; ++m) sum += tables[16 * m + sub_code(bits, m)];
  return sum;
}

// 32 lanes of random bits packed over a block of garbage (packing must
// replace each lane's nibbles whatever they held).
struct RandomBlock {
  RandomBlock(std::size_t d, std::mt19937& rng) : dims(d), bits(kEdgeLanes * edge_bits_bytes(d)) {
    block.resize(edge_block_bytes(dims));
    for (auto& b : block) b = static_cast<std::uint8_t>(rng());
    for (auto& b : bits) b = static_cast<std::uint8_t>(rng());
    for (std::size_t lane = 0; lane < kEdgeLanes; ++lane)
      pack_edge_lane(lane_bits(lane), dims, lane, block.data());
  }
  const std::uint8_t* lane_bits(std::size_t lane) const { return bits.data() + lane * edge_bits_bytes(dims); }

  std::size_t dims;
  std::vector<std::uint8_t> bits, block;
};

class FastScanVariants : public ::testing::TestWithParam<const char*> {};

// Widths from one sub-code pair short of a chunk to several chunks of the
// 16-bit sums; tables of random bytes, then all 255 (the largest sums: a
// 16-bit lane kept past its chunk would wrap above 1024 dimensions).
TEST_P(FastScanVariants, SumsMatchAPlainLoop) {
  const FastScanKernels kernels = fastscan_kernels(GetParam());
  if (kernels.sums == nullptr) GTEST_SKIP() << GetParam() << " is not supported by this CPU";
  std::mt19937 rng(5);
  for (std::size_t dim : {1u, 3u, 31u, 32u, 100u, 784u, 1024u, 1025u, 2048u, 4096u}) {
    const std::size_t dims = edge_code_dims(dim);
    const RandomBlock b(dims, rng);
    for (int full = 0; full < 2; ++full) {
      std::vector<std::uint8_t> tables(edge_table_bytes(dims), 255);
      if (full == 0) {
        for (auto& t : tables) t = static_cast<std::uint8_t>(rng());
      }
      std::uint32_t sums[kEdgeLanes];
      kernels.sums(tables.data(), b.block.data(), dims, sums);
      for (std::size_t lane = 0; lane < kEdgeLanes; ++lane) {
        ASSERT_EQ(sums[lane], plain_sum(tables.data(), b.lane_bits(lane), dims))
            << "dim " << dim << ", lane " << lane << (full ? ", tables of 255" : "");
      }
    }
  }
}

// The epilogue: estimates from the sums and factors, and the mask of live
// lanes below the threshold (dead lanes never set, even with an infinite
// threshold).
TEST_P(FastScanVariants, EstimatesAndMaskFollowTheSums) {
  const FastScanKernels kernels = fastscan_kernels(GetParam());
  if (kernels.estimates == nullptr) GTEST_SKIP() << GetParam() << " is not supported by this CPU";
  std::mt19937 rng(9);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t dims : {32u, 384u, 800u}) {
    const RandomBlock b(dims, rng);
    std::vector<float> q(dims);
    for (float& v : q) v = normal(rng);
    std::vector<std::uint8_t> tables(edge_table_bytes(dims));
    const EdgeQuery query = prepare_edge_query(q.data(), dims, tables.data());
    HalfFactor add[kEdgeLanes], scale[kEdgeLanes];
    float out[kEdgeLanes];
    for (std::size_t i = 0; i < kEdgeLanes; ++i) {
      add[i] = half_factor(100.0f + 10.0f * normal(rng));
      scale[i] = half_factor(-std::abs(normal(rng)));
    }
    const float g = 3.5f;
    for (std::uint32_t live : {0xffffffffu, 0x1fu, 0x80000001u, 0u}) {
      const std::uint32_t all = kernels.estimates(query, b.block.data(), add, scale, g, HUGE_VALF, live, out);
      EXPECT_EQ(all, live) << "dims " << dims;
      const float threshold = out[7];
      const std::uint32_t mask =
          kernels.estimates(query, b.block.data(), add, scale, g, threshold, live, out);
      for (std::size_t i = 0; i < kEdgeLanes; ++i) {
        const double acc = plain_sum(tables.data(), b.lane_bits(i), dims);
        const double expected =
            factor_value(add[i]) + g + factor_value(scale[i]) * (query.delta * acc + query.offset);
        ASSERT_NEAR(out[i], expected, 1e-4 * (1.0 + std::abs(expected))) << "dims " << dims << ", lane " << i;
        const bool below = out[i] < threshold && ((live >> i) & 1u) != 0;
        ASSERT_EQ(((mask >> i) & 1u) != 0, below) << "dims " << dims << ", lane " << i;
      }
    }
  }
}

// Each variant's tables are prepare_edge_query's, an entry at most one step
// off (a fused multiply-add may round a half step the other way), and so
// are its step and its offset (summed in another order), for every
// table of a group of eight; queries with zeros, both signs and a wide range
// (the widest table sets the step), and an all-zero one.
TEST_P(FastScanVariants, TablesAreThoseOfThePlainBuild) {
  const FastScanKernels kernels = fastscan_kernels(GetParam());
  if (kernels.tables == nullptr) GTEST_SKIP() << GetParam() << " is not supported by this CPU";
  std::mt19937 rng(4);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t dims : {32u, 64u, 800u}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<float> q(dims, 0.0f);
      if (trial > 0) {
        for (float& v : q) v = rng() % 5 == 0 ? 0.0f : normal(rng) * (rng() % 3 == 0 ? 100.0f : 1.0f);
      }
      std::vector<std::uint8_t> plain(edge_table_bytes(dims)), ours(edge_table_bytes(dims), 0xee);
      const EdgeQuery expected = prepare_edge_query(q.data(), dims, plain.data());
      const EdgeQuery got = kernels.tables(q.data(), dims, ours.data());
      ASSERT_EQ(got.tables, ours.data());
      ASSERT_EQ(got.dims, dims);
      ASSERT_EQ(got.delta, expected.delta);
      double magnitude = 0.0;
      for (float v : q) magnitude += std::abs(v);
      ASSERT_NEAR(got.offset, expected.offset, 1e-6 * magnitude);
      for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_LE(std::abs(int{plain[i]} - int{ours[i]}), 1)
            << "dims " << dims << ", trial " << trial << ", table " << i / 16 << ", entry " << i % 16;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, FastScanVariants, ::testing::Values("baseline", "avx2", "avx512", "neon"),
                         [](const auto& test) { return std::string(test.param); });

// The quantized tables give <b, q'> within half a step per table.
TEST(EdgeQuery, TablesGiveTheInnerProductWithinTheirRounding) {
  const FastScanKernels kernels = fastscan_kernels();
  std::mt19937 rng(2);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t dims : {32u, 800u}) {
    std::vector<float> q(dims);
    for (float& v : q) v = 5.0f + normal(rng);  // off-centre, as uncentred data would be
    std::vector<std::uint8_t> tables(edge_table_bytes(dims));
    const EdgeQuery query = prepare_edge_query(q.data(), dims, tables.data());
    double half_sum = 0.0;
    for (float v : q) half_sum += 0.5 * v;
    const RandomBlock b(dims, rng);
    std::uint32_t sums[kEdgeLanes];
    kernels.sums(tables.data(), b.block.data(), dims, sums);
    for (std::size_t lane = 0; lane < kEdgeLanes; ++lane) {
      double inner = 0.0;
      for (std::size_t i = 0; i < dims; ++i)
        inner += ((b.lane_bits(lane)[i / 8] >> (i % 8)) & 1u) ? q[i] : 0.0f;
      const double approx = query.delta * sums[lane] + query.offset + half_sum;
      EXPECT_NEAR(approx, inner, 0.5 * query.delta * (dims / 4) + 1e-3)
          << "dims " << dims << ", lane " << lane;
    }
  }
  // A zero query: no step to divide by, every estimate is add + g.
  std::vector<float> zero(64, 0.0f);
  std::vector<std::uint8_t> tables(edge_table_bytes(64), 7);
  const EdgeQuery query = prepare_edge_query(zero.data(), 64, tables.data());
  EXPECT_EQ(query.delta, 0.0f);
  EXPECT_EQ(query.offset, 0.0f);
  for (std::uint8_t t : tables) ASSERT_EQ(t, 0);
}

// Random clouds around random nodes, rotated: the estimate of |o - q|^2
// over many (query, node, neighbour) triples and several rotations. The
// error in units of its bound (err * sqrt(G)) should be close to a standard
// normal: centred (the estimator is unbiased over rotations), about 6%
// beyond 1.9, well under 1% beyond 3. A wrong factor shifts or widens it.
TEST(EdgeEstimator, ErrorStaysWithinItsBoundAsOftenAsExpected) {
  const FastScanKernels kernels = fastscan_kernels();
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t dim : {100u, 384u}) {
    const std::size_t dims = edge_code_dims(dim);
    double sum = 0.0;
    std::size_t count = 0, beyond19 = 0, beyond3 = 0;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
      const Rotation rotation(dims, seed);
      auto rotated = [&](const std::vector<float>& x) {
        std::vector<float> r(x);
        r.resize(dims, 0.0f);
        rotation.apply(r.data());
        return r;
      };
      for (int node = 0; node < 6; ++node) {
        std::vector<float> u(dim);
        for (float& v : u) v = 10.0f + 3.0f * normal(rng);  // far from the origin
        std::vector<std::uint8_t> block(edge_block_bytes(dims)), bits(edge_bits_bytes(dims));
        HalfFactor add[kEdgeLanes], scale[kEdgeLanes];
        float err[kEdgeLanes];
        std::vector<std::vector<float>> neighbours;
        const std::vector<float> u_rot = rotated(u);
        for (std::size_t lane = 0; lane < kEdgeLanes; ++lane) {
          std::vector<float> o(u);
          for (float& v : o) v += normal(rng);
          const EdgeFactors f = encode_edge(u_rot.data(), rotated(o).data(), dims, bits.data());
          pack_edge_lane(bits.data(), dims, lane, block.data());
          add[lane] = half_factor(f.add);
          scale[lane] = half_factor(f.scale);
          err[lane] = f.err;
          neighbours.push_back(o);
        }
        for (int query = 0; query < 8; ++query) {
          std::vector<float> q(u);
          for (float& v : q) v += 1.2f * normal(rng);
          double g = 0.0;
          for (std::size_t i = 0; i < dim; ++i) g += (double(q[i]) - u[i]) * (double(q[i]) - u[i]);
          std::vector<std::uint8_t> tables(edge_table_bytes(dims));
          const EdgeQuery prepared = prepare_edge_query(rotated(q).data(), dims, tables.data());
          float est[kEdgeLanes];
          kernels.estimates(prepared, block.data(), add, scale, static_cast<float>(g), 0.0f, ~0u, est);
          for (std::size_t lane = 0; lane < kEdgeLanes; ++lane) {
            double exact = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
              const double d = double(q[i]) - neighbours[lane][i];
              exact += d * d;
            }
            const double z = (est[lane] - exact) / (err[lane] * std::sqrt(g));
            sum += z;
            ++count;
            beyond19 += std::abs(z) > 1.9;
            beyond3 += std::abs(z) > 3.0;
          }
        }
      }
    }
    const double mean = sum / double(count);
    const double share19 = double(beyond19) / double(count), share3 = double(beyond3) / double(count);
    RecordProperty("dim" + std::to_string(dim) + "_mean", std::to_string(mean));
    RecordProperty("dim" + std::to_string(dim) + "_beyond19", std::to_string(share19));
    RecordProperty("dim" + std::to_string(dim) + "_beyond3", std::to_string(share3));
    EXPECT_LT(std::abs(mean), 0.08) << "dim " << dim << ": " << count << " estimates";
    EXPECT_GT(share19, 0.02) << "dim " << dim;
    EXPECT_LT(share19, 0.11) << "dim " << dim;
    EXPECT_LT(share3, 0.015) << "dim " << dim;
  }
}

// Factors kept in 16 bits: nearest of the float's range at 2^-8 relative
// error; zero stays zero and no other value becomes it (a zero scale marks a
// copy); infinities and NaN stay what they are.
TEST(HalfFactors, RoundToNearestKeepingZeroAndRange) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (int i = 0; i < 20000; ++i) {
    const float v = unit(rng) * std::ldexp(1.0f, static_cast<int>(rng() % 200) - 100);
    const float back = factor_value(half_factor(v));
    ASSERT_LE(std::abs(back - v), std::abs(v) * 0x1p-8f) << v;
    ASSERT_EQ(std::signbit(back), std::signbit(v)) << v;
  }
  for (const float exact : {0.0f, 1.0f, -2.5f, 1.0f + 0x1p-7f, 65536.0f, HUGE_VALF, -HUGE_VALF})
    EXPECT_EQ(factor_value(half_factor(exact)), exact);
  EXPECT_EQ(half_factor(0.0f), 0u);
  EXPECT_EQ(factor_value(half_factor(1.0f + 0x1p-8f)), 1.0f);  // a tie, to even
  EXPECT_EQ(factor_value(half_factor(1.0f + 0x1p-8f + 0x1p-7f)), 1.0f + 0x1p-6f);
  for (const float tiny : {0x1p-140f, -0x1p-149f}) {
    EXPECT_NE(factor_value(half_factor(tiny)), 0.0f) << tiny;
    EXPECT_NE(half_factor(tiny) & 0x7fffu, 0u) << tiny;
  }
  EXPECT_TRUE(std::isnan(factor_value(half_factor(std::nanf("")))));
  EXPECT_TRUE(std::isnan(factor_value(half_factor(-std::nanf("")))));
}

// A neighbour equal to its node: zero factors and signs, its estimate is G
// exactly whatever the query.
TEST(EdgeEstimator, ANeighbourEqualToItsNodeIsEstimatedAtG) {
  std::mt19937 rng(4);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t dims = 64;
  std::vector<float> u(dims), q(dims);
  for (float& v : u) v = normal(rng);
  for (float& v : q) v = normal(rng);
  std::vector<std::uint8_t> bits(edge_bits_bytes(dims), 0xff), block(edge_block_bytes(dims), 0xff);
  const EdgeFactors f = encode_edge(u.data(), u.data(), dims, bits.data());
  EXPECT_EQ(f.add, 0.0f);
  EXPECT_EQ(f.scale, 0.0f);
  EXPECT_EQ(f.err, 0.0f);
  for (std::uint8_t b : bits) ASSERT_EQ(b, 0);
  HalfFactor add[kEdgeLanes] = {}, scale[kEdgeLanes] = {};
  float est[kEdgeLanes];
  for (std::size_t lane = 0; lane < kEdgeLanes; ++lane) pack_edge_lane(bits.data(), dims, lane, block.data());
  std::vector<std::uint8_t> tables(edge_table_bytes(dims));
  const EdgeQuery query = prepare_edge_query(q.data(), dims, tables.data());
  for (const char* variant : {"baseline", "avx2", "avx512", "neon"}) {
    const FastScanKernels kernels = fastscan_kernels(variant);
    if (kernels.estimates == nullptr) continue;
    kernels.estimates(query, block.data(), add, scale, 2.25f, 0.0f, ~0u, est);
    for (float e : est) ASSERT_EQ(e, 2.25f) << variant;
  }
}

}  // namespace
}  // namespace hobrin::fast
