// The code kernels (half precision, int8, int4) against a plain loop over the
// decoded values, in every variant the CPU runs; encoding and its clamping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hobrin_ann/kernels/codes.hpp"

namespace hobrin::fast {
namespace {

struct AlignedFree {
  void operator()(std::uint8_t* p) const noexcept { ::operator delete[](p, std::align_val_t{kBlockBytes}); }
};

// Rows encoded as a store would hold them: 64-byte aligned, padded, with
// the scale learned from these rows and the padded decoded values beside.
struct Encoded {
  Encoded(Code c, std::size_t d, const std::vector<double>& rows)
      : code(c),
        dim(d),
        dims(code_dims(c, d)),
        stride(code_row_bytes(c, d)),
        count(rows.size() / d),
        offset(dims),
        scale(dims),
        decoded(count * dims, 0.0) {
    data.reset(static_cast<std::uint8_t*>(::operator new[](count * stride, std::align_val_t{kBlockBytes})));
    CodeRange range(dim);
    for (std::size_t i = 0; i < count; ++i) range.widen(rows.data() + i * dim);
    range.learn(code, offset.data(), scale.data());
    for (std::size_t i = 0; i < count; ++i) {
      encode_row(code, rows.data() + i * dim, dim, params(), row(i));
      decode_row(code, row(i), dim, params(), decoded.data() + i * dims);
    }
  }
  CodeScale params() const { return {offset.data(), scale.data()}; }
  std::uint8_t* row(std::size_t i) const { return data.get() + i * stride; }

  Code code;
  std::size_t dim, dims, stride, count;
  std::vector<float> offset, scale;
  std::vector<double> decoded;
  std::unique_ptr<std::uint8_t[], AlignedFree> data;
};

std::vector<double> random_values(std::size_t n, unsigned seed, double spread = 1.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.5, spread);
  std::vector<double> v(n);
  for (double& x : v) x = normal(rng);
  return v;
}

double plain(const double* a, const double* b, std::size_t dim, Measure measure) {
  double sum = 0;
  for (std::size_t j = 0; j < dim; ++j)
    sum += measure == Measure::SquaredEuclidean ? (a[j] - b[j]) * (a[j] - b[j]) : -a[j] * b[j];
  return sum;
}

using Case = std::tuple<const char*, Code, Measure>;
std::string case_name(const Case& c) {
  const Code code = std::get<1>(c);
  return std::string(std::get<0>(c)) +
         (code == Code::Float16 ? "_f16"
          : code == Code::Int8  ? "_int8"
                                : "_int4") +
         (std::get<2>(c) == Measure::SquaredEuclidean ? "_l2" : "_dot");
}
class CodeKernelVariants : public ::testing::TestWithParam<Case> {};

TEST_P(CodeKernelVariants, AgreeWithAPlainLoopOverDecodedValues) {
  const auto [variant, code, measure] = GetParam();
  const CodeKernels kernels = code_kernels(code, measure, variant);
  if (kernels.batch == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  for (std::size_t dim : {1u, 7u, 33u, 64u, 100u, 129u, 300u}) {
    const Encoded rows(code, dim, random_values(9 * dim, static_cast<unsigned>(dim)));
    const auto values = random_values(dim, 99);
    std::vector<float> query(rows.dims, 0.0f);
    std::vector<double> query_double(rows.dims, 0.0);
    for (std::size_t j = 0; j < dim; ++j) query_double[j] = query[j] = static_cast<float>(values[j]);
    std::vector<float> prepared(rows.dims);
    const CodeQuery q =
        prepare_code_query(code, measure, query.data(), rows.dims, rows.params(), prepared.data());
    const std::uint32_t nodes[] = {3, 0, 8, 8, 5, 1, 2, 7, 6, 4};
    float out[10];
    kernels.batch(q, rows.row(0), rows.stride, nodes, 10, rows.dims, HUGE_VALF, out);
    for (std::size_t i = 0; i < 10; ++i) {
      const double* x = rows.decoded.data() + nodes[i] * rows.dims;
      const double expected = plain(query_double.data(), x, dim, measure);
      ASSERT_NEAR(out[i], expected, 1e-4 * (1 + std::abs(expected))) << "dim " << dim << ", row " << i;
      const double between = plain(rows.decoded.data(), x, dim, measure);
      ASSERT_NEAR(kernels.pair(rows.row(0), rows.row(nodes[i]), rows.params(), rows.dims), between,
                  1e-4 * (1 + std::abs(between)))
          << "dim " << dim << ", pair with row " << nodes[i];
    }
    // Under a bound, distances at most the bound stay exact; the others may
    // stop early but stay above it.
    const float bound = out[4];
    float bounded[10];
    kernels.batch(q, rows.row(0), rows.stride, nodes, 10, rows.dims, bound, bounded);
    for (std::size_t i = 0; i < 10; ++i) {
      if (out[i] <= bound) {
        EXPECT_EQ(bounded[i], out[i]);
      } else {
        EXPECT_GT(bounded[i], bound);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, CodeKernelVariants,
                         ::testing::Combine(::testing::Values("baseline", "avx2", "avx512"),
                                            ::testing::Values(Code::Float16, Code::Int8, Code::Int4),
                                            ::testing::Values(Measure::SquaredEuclidean,
                                                              Measure::NegativeDot)),
                         [](const auto& test) { return case_name(test.param); });

class LevelKernel : public ::testing::TestWithParam<std::tuple<const char*, Code>> {};

const double* query_of(const std::vector<double>& values) { return values.data(); }

// Code j of an int8 or int4 row.
unsigned code_at(Code code, const std::uint8_t* row, std::size_t j) {
  if (code == Code::Int8) return row[j];
  return (row[j / 64 * 32 + j % 32] >> (j % 64 >= 32 ? 4 : 0)) & 15u;
}

// The integer form of squared Euclidean distances over int8 and int4 codes: the query
// as levels of the shared step (not clamped to the codes' range), summed
// exactly in integers, under a bound as the float form.
TEST_P(LevelKernel, SumsSquaredLevelDifferencesExactly) {
  const auto [variant, code] = GetParam();
  const CodeKernels kernels = code_kernels(code, Measure::SquaredEuclidean, variant);
  if (kernels.batch == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  for (std::size_t dim : {1u, 63u, 64u, 200u, 1000u}) {
    const Encoded rows(code, dim, random_values(9 * dim, static_cast<unsigned>(dim)));
    const auto values = random_values(dim, 7, 3.0);  // partly outside the rows' range
    std::vector<float> query(rows.dims, 0.0f), prepared(rows.dims);
    for (std::size_t j = 0; j < dim; ++j) query[j] = static_cast<float>(values[j]);
    std::vector<std::int16_t> levels(rows.dims);
    const CodeQuery q = prepare_code_query(code, Measure::SquaredEuclidean, query.data(), rows.dims,
                                           rows.params(), prepared.data(), levels.data());
    ASSERT_EQ(q.levels, levels.data()) << "the scale is shared, so the integer form applies";
    const std::uint32_t nodes[] = {3, 0, 8, 5, 1};
    float out[5];
    kernels.batch(q, rows.row(0), rows.stride, nodes, 5, rows.dims, HUGE_VALF, out);
    // The dot product's integer form: within the query's rounding (half a
    // 16383th of its largest value per dimension, times the decoded value's
    // distance from the offset) of the plain loop over decoded values.
    const CodeKernels dot = code_kernels(code, Measure::NegativeDot, variant);
    std::vector<std::int16_t> dot_levels(rows.dims);
    const CodeQuery p = prepare_code_query(code, Measure::NegativeDot, query.data(), rows.dims, rows.params(),
                                           prepared.data(), dot_levels.data());
    ASSERT_EQ(p.levels, dot_levels.data());
    float products[5];
    dot.batch(p, rows.row(0), rows.stride, nodes, 5, rows.dims, HUGE_VALF, products);
    double largest = 0.0;
    for (std::size_t j = 0; j < dim; ++j) largest = std::max(largest, std::abs(double{query[j]}));
    for (std::size_t i = 0; i < 5; ++i) {
      const double* x = rows.decoded.data() + nodes[i] * rows.dims;
      const double expected = plain(query_of(values), x, dim, Measure::NegativeDot);
      double rounding = 0.0;
      double magnitude = 0.0;
      for (std::size_t j = 0; j < dim; ++j) {
        rounding += 0.5 * largest / 16383.0 * std::abs(x[j] - rows.offset[j]);
        magnitude += std::abs(values[j] * x[j]);
      }
      EXPECT_NEAR(products[i], expected, rounding + 1e-5 * (1 + magnitude)) << "dim " << dim << ", row " << i;
    }
    for (std::size_t i = 0; i < 5; ++i) {
      std::int64_t sum = 0;
      for (std::size_t j = 0; j < rows.dims; ++j) {
        const std::int64_t d = levels[j] - static_cast<std::int64_t>(code_at(code, rows.row(nodes[i]), j));
        sum += d * d;
      }
      ASSERT_NEAR(out[i], q.step2 * static_cast<double>(sum),
                  1e-5 * q.step2 * static_cast<double>(sum) + 1e-30)
          << "dim " << dim << ", row " << i;
      // Within the rounding of the query (half a step per dimension) of the float form.
      const double* x = rows.decoded.data() + nodes[i] * rows.dims;
      double exact = 0.0;
      for (std::size_t j = 0; j < dim; ++j) exact += (values[j] - x[j]) * (values[j] - x[j]);
      const double step = std::sqrt(q.step2);
      EXPECT_NEAR(std::sqrt(out[i]), std::sqrt(exact), 0.5 * step * std::sqrt(double(dim)) + 1e-6);
    }
    float bounded[5];
    kernels.batch(q, rows.row(0), rows.stride, nodes, 5, rows.dims, out[2], bounded);
    for (std::size_t i = 0; i < 5; ++i) {
      if (out[i] <= out[2])
        EXPECT_EQ(bounded[i], out[i]);
      else
        EXPECT_GT(bounded[i], out[2]);
    }
  }
}

// Queries at the ends of the level range, against rows of all-lowest and
// all-highest codes: the integer sum stays exact (128 squares of 16383^2 per
// flush do not fit in 32 bits), and a query beyond the levels is scored in
// the float form, never moved to their edge.
TEST_P(LevelKernel, ExtremeLevelsSumExactlyAndFartherQueriesUseTheFloatForm) {
  const auto [variant, code] = GetParam();
  const CodeKernels kernels = code_kernels(code, Measure::SquaredEuclidean, variant);
  if (kernels.batch == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  for (std::size_t dim : {64u, 128u, 200u, 1000u}) {
    std::vector<double> corners(2 * dim, 0.0);
    std::fill(corners.begin() + static_cast<std::ptrdiff_t>(dim), corners.end(), 1.0);
    const Encoded rows(code, dim, corners);  // offsets 0, one step of 1/levels
    const double step = rows.scale[0];
    for (const double shift : {16383.0, -16128.0, 20000.0, -1e6}) {
      std::vector<float> query(rows.dims, 0.0f), prepared(rows.dims);
      for (std::size_t j = 0; j < dim; ++j) query[j] = static_cast<float>(shift * step);
      std::vector<std::int16_t> levels(rows.dims);
      const CodeQuery q = prepare_code_query(code, Measure::SquaredEuclidean, query.data(), rows.dims,
                                             rows.params(), prepared.data(), levels.data());
      const bool within = shift >= -16128.0 && shift <= 16383.0;
      ASSERT_EQ(q.levels != nullptr, within) << shift;
      const std::uint32_t nodes[] = {0, 1};
      float out[2];
      kernels.batch(q, rows.row(0), rows.stride, nodes, 2, rows.dims, HUGE_VALF, out);
      for (std::size_t i = 0; i < 2; ++i) {
        const double* x = rows.decoded.data() + i * rows.dims;
        double exact = 0.0;
        for (std::size_t j = 0; j < dim; ++j) exact += (query[j] - x[j]) * (query[j] - x[j]);
        ASSERT_TRUE(std::isfinite(out[i]));
        EXPECT_NEAR(out[i], exact, 1e-5 * exact) << "dim " << dim << ", shift " << shift << ", row " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, LevelKernel,
                         ::testing::Combine(::testing::Values("baseline", "avx2", "avx512"),
                                            ::testing::Values(Code::Int8, Code::Int4)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param)) +
                                  (std::get<1>(test.param) == Code::Int8 ? "_int8" : "_int4");
                         });

class ScalarCodes : public ::testing::TestWithParam<Code> {};

// Values inside the learned range decode within half a step; values outside
// it clamp to its ends; a dimension with one value decodes to it exactly.
// An odd dimension count exercises int4's last half-filled byte.
TEST_P(ScalarCodes, RoundTripWithinHalfAStepAndClampOutside) {
  const Code code = GetParam();
  const std::size_t dim = 67;
  auto rows = random_values(20 * dim, 3, 4.0);
  for (std::size_t i = 0; i < 20; ++i) rows[i * dim + 66] = -2.5;  // one value only
  const Encoded enc(code, dim, rows);
  for (std::size_t i = 0; i < 20; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      ASSERT_NEAR(enc.decoded[i * enc.dims + j], rows[i * dim + j], enc.scale[j] * 0.5001 + 1e-6) << j;
    }
  }
  EXPECT_EQ(enc.scale[66], 0.0f);
  std::vector<double> outside(dim);
  for (std::size_t j = 0; j < dim; ++j) outside[j] = j % 2 == 0 ? 1e6 : -1e6;
  std::vector<std::uint8_t> codes(enc.stride);
  std::vector<double> back(dim);
  encode_row(code, outside.data(), dim, enc.params(), codes.data());
  decode_row(code, codes.data(), dim, enc.params(), back.data());
  for (std::size_t j = 0; j + 1 < dim; ++j) {
    const double end = j % 2 == 0 ? enc.offset[j] + enc.scale[j] * code_levels(code) : enc.offset[j];
    EXPECT_NEAR(back[j], end, 1e-4 * (1 + std::abs(end))) << j;
  }
  EXPECT_EQ(back[66], -2.5);
  // Padding stays zero: whole rows may be compared or copied byte for byte.
  const std::size_t used = code == Code::Int8 ? dim : dim / 64 * 32 + std::min<std::size_t>(dim % 64, 32);
  for (std::size_t b = used; b < enc.stride; ++b) EXPECT_EQ(codes[b], 0) << b;
}

INSTANTIATE_TEST_SUITE_P(All, ScalarCodes, ::testing::Values(Code::Int8, Code::Int4));

// Half precision rounds to nearest even and clamps to the largest finite
// half; subnormal halves come back exactly.
TEST(HalfCodes, RoundToNearestEvenAndClamp) {
  const double in[] = {1.0,    1.0 + 0x1p-11, 1.0 + 3 * 0x1p-11, -3.140625,   65504.0, 70000.0,
                       -1e300, 0x1p-24,       0x1p-25,           3 * 0x1p-25, 0x1p-14, 0.0};
  const double want[] = {1.0,      1.0,     1.0 + 0x1p-9, -3.140625, 65504.0, 65504.0,
                         -65504.0, 0x1p-24, 0.0,          0x1p-23,   0x1p-14, 0.0};
  const std::size_t dim = std::size(in);
  std::vector<std::uint8_t> codes(code_row_bytes(Code::Float16, dim));
  std::vector<double> back(dim);
  encode_row(Code::Float16, in, dim, {nullptr, nullptr}, codes.data());
  decode_row(Code::Float16, codes.data(), dim, {nullptr, nullptr}, back.data());
  for (std::size_t j = 0; j < dim; ++j) EXPECT_EQ(back[j], want[j]) << in[j];
}

}  // namespace
}  // namespace hobrin::fast
