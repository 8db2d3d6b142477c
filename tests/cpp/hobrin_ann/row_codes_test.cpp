// Codes scaled per row: each value decodes within half its row's step, and
// the distance forms (the negated-dot code kernels plus each row's scalars)
// agree with a plain loop over the decoded values, in every variant the CPU
// runs, for any mix of row offsets and spreads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hobrin_ann/kernels/rotation.hpp"
#include "hobrin_ann/kernels/row_codes.hpp"

namespace hobrin::fast {
namespace {

struct AlignedFree {
  void operator()(std::uint8_t* p) const noexcept { ::operator delete[](p, std::align_val_t{kBlockBytes}); }
};

// Rows of different centres and spreads (row 1 constant), as a store holds them.
struct ScaledRows {
  ScaledRows(Code c, std::size_t d, std::size_t n, unsigned seed)
      : code(c), dim(d), dims(code_dims(c, d)), stride(code_row_bytes(c, d)), count(n), values(n * d) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    for (std::size_t i = 0; i < n; ++i) {
      const double centre = 10.0 * normal(rng), spread = std::exp(2.0 * normal(rng));
      for (std::size_t j = 0; j < d; ++j) values[i * d + j] = i == 1 ? -3.25 : centre + spread * normal(rng);
    }
    data.reset(static_cast<std::uint8_t*>(::operator new[](n * stride, std::align_val_t{kBlockBytes})));
    for (std::size_t i = 0; i < n; ++i) {
      scalars.push_back(encode_scaled_row(code, values.data() + i * d, d, row(i)));
      decoded.emplace_back(d);
      decode_scaled_row(code, row(i), d, scalars[i], decoded[i].data());
    }
  }
  std::uint8_t* row(std::size_t i) const { return data.get() + i * stride; }

  Code code;
  std::size_t dim, dims, stride, count;
  std::vector<double> values;
  std::vector<RowScalars> scalars;
  std::vector<std::vector<double>> decoded;
  std::unique_ptr<std::uint8_t[], AlignedFree> data;
};

double dot(const double* a, const double* b, std::size_t dim) {
  double sum = 0;
  for (std::size_t j = 0; j < dim; ++j) sum += a[j] * b[j];
  return sum;
}

double distance(Measure measure, const double* a, const double* b, std::size_t dim) {
  if (measure == Measure::NegativeDot) return -dot(a, b, dim);
  double sum = 0;
  for (std::size_t j = 0; j < dim; ++j) sum += (a[j] - b[j]) * (a[j] - b[j]);
  return sum;
}

using Case = std::tuple<const char*, Code, Measure>;
class RowCodes : public ::testing::TestWithParam<Case> {};

TEST_P(RowCodes, DecodeWithinHalfAStepAndScoreAsAPlainLoop) {
  const auto [variant, code, measure] = GetParam();
  const CodeKernels kernels = code_kernels(code, Measure::NegativeDot, variant);
  if (kernels.batch == nullptr) GTEST_SKIP() << variant << " is not supported by this CPU";
  for (std::size_t dim : {1u, 2u, 3u, 7u, 64u, 100u, 129u, 300u}) {
    SCOPED_TRACE("dim " + std::to_string(dim));
    const ScaledRows rows(code, dim, 9, static_cast<unsigned>(dim));
    for (std::size_t i = 0; i < rows.count; ++i) {
      const RowScalars& s = rows.scalars[i];
      ASSERT_TRUE(plausible_scalars(code, dim, s));
      for (std::size_t j = 0; j < dim; ++j)
        ASSERT_NEAR(rows.decoded[i][j], rows.values[i * dim + j], 0.5001 * s.step + 1e-5 * std::abs(s.low));
    }
    EXPECT_EQ(rows.scalars[1].step, 0.0f);
    EXPECT_EQ(rows.decoded[1][0], -3.25);
    // A query of its own scale; the padding of the prepared query is zero.
    std::vector<float> query(rows.dims, 0.0f), prepared(rows.dims);
    std::vector<std::int16_t> levels(rows.dims);
    std::vector<double> q(dim);
    double sum = 0, norm2 = 0, largest = 0;
    for (std::size_t j = 0; j < dim; ++j) {
      query[j] = static_cast<float>(rows.values[j] + std::sin(double(j)));
      q[j] = query[j];
      sum += q[j];
      norm2 += q[j] * q[j];
      largest = std::max(largest, std::abs(q[j]));
    }
    for (const bool integer : {false, true}) {
      const CodeQuery prepared_query =
          prepare_dot_query(query.data(), rows.dims, prepared.data(), integer ? levels.data() : nullptr);
      ASSERT_EQ(prepared_query.levels != nullptr, integer);
      const std::uint32_t nodes[] = {3, 0, 8, 1, 5, 2, 7, 6, 4};
      float out[9];
      kernels.batch(prepared_query, rows.row(0), rows.stride, nodes, 9, rows.dims, HUGE_VALF, out);
      for (std::size_t i = 0; i < 9; ++i) {
        const RowScalars& s = rows.scalars[nodes[i]];
        const double* x = rows.decoded[nodes[i]].data();
        const double got =
            scaled_distance(measure, s, static_cast<float>(sum), static_cast<float>(norm2), out[i]);
        const double want = distance(measure, q.data(), x, dim);
        // The query's levels round by half a 16383th of its largest value,
        // times each code; float sums round with the norms.
        const double rounding = integer ? 0.5 * largest / 16383.0 * s.step * s.code_sum : 0.0;
        const double scale = norm2 + s.norm2 + std::abs(s.low * sum) + std::abs(want);
        ASSERT_NEAR(got, want, (measure == Measure::NegativeDot ? 1 : 2) * rounding + 1e-5 * (1 + scale))
            << (integer ? "levels" : "floats") << ", row " << nodes[i];
      }
    }
    // Pairs of rows, from their codes and scalars.
    std::vector<float> scale(2 * rows.dims, 1.0f);
    std::fill_n(scale.begin(), rows.dims, 0.0f);
    for (std::size_t a = 0; a < rows.count; ++a) {
      for (std::size_t b = 0; b < rows.count; b += 2) {
        const float codes =
            kernels.pair(rows.row(a), rows.row(b), {scale.data(), scale.data() + rows.dims}, rows.dims);
        const double got = scaled_pair_distance(measure, dim, rows.scalars[a], rows.scalars[b], codes);
        const double want = distance(measure, rows.decoded[a].data(), rows.decoded[b].data(), dim);
        const double size = rows.scalars[a].norm2 + rows.scalars[b].norm2;
        ASSERT_NEAR(got, want, 1e-5 * (1 + size)) << "rows " << a << ", " << b;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, RowCodes,
                         ::testing::Combine(::testing::Values("baseline", "avx2", "avx512"),
                                            ::testing::Values(Code::Int8, Code::Int4),
                                            ::testing::Values(Measure::SquaredEuclidean,
                                                              Measure::NegativeDot)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param)) +
                                  (std::get<1>(test.param) == Code::Int8 ? "_int8" : "_int4") +
                                  (std::get<2>(test.param) == Measure::SquaredEuclidean ? "_l2" : "_dot");
                         });

// Values far apart in one row, and huge ones, stay finite and plausible.
TEST(RowCodes, ExtremeRowsStayFinite) {
  for (const Code code : {Code::Int8, Code::Int4}) {
    const double row[] = {-1e300, 1e300, 0.0, 3e38};
    std::vector<std::uint8_t> codes(code_row_bytes(code, 4));
    const RowScalars s = encode_scaled_row(code, row, 4, codes.data());
    EXPECT_TRUE(std::isfinite(s.low) && std::isfinite(s.step)) << s.low << " " << s.step;
    EXPECT_TRUE(plausible_scalars(code, 4, s));
  }
}

}  // namespace
}  // namespace hobrin::fast

namespace hobrin::fast {
namespace {

// The rotation keeps lengths and dot products (a plain loop in double over
// the rotated values), comes back exactly enough, depends on its seed only,
// and spreads one large component over every value.
TEST(Rotation, IsOrthogonalReproducibleAndSpreads) {
  for (std::size_t width : {64u, 128u, 192u, 384u, 832u, 4096u}) {
    SCOPED_TRACE("width " + std::to_string(width));
    std::mt19937 rng(static_cast<unsigned>(width));
    std::normal_distribution<float> normal;
    std::vector<float> a(width), b(width);
    for (std::size_t j = 0; j < width; ++j) a[j] = normal(rng), b[j] = normal(rng);
    const Rotation rotation(width, 42);
    std::vector<float> ra = a, rb = b;
    rotation.apply(ra.data());
    rotation.apply(rb.data());
    double dot_before = 0, dot_after = 0, norm_before = 0, norm_after = 0;
    for (std::size_t j = 0; j < width; ++j) {
      dot_before += double{a[j]} * b[j];
      dot_after += double{ra[j]} * rb[j];
      norm_before += double{a[j]} * a[j];
      norm_after += double{ra[j]} * ra[j];
    }
    EXPECT_NEAR(norm_after, norm_before, 1e-5 * norm_before);
    EXPECT_NEAR(dot_after, dot_before, 1e-5 * norm_before);
    rotation.invert(ra.data());
    for (std::size_t j = 0; j < width; ++j) ASSERT_NEAR(ra[j], a[j], 1e-5) << j;
    // The same seed, the same rotation; another seed, another.
    std::vector<float> again = a, other = a;
    Rotation(width, 42).apply(again.data());
    Rotation(width, 43).apply(other.data());
    rotation.apply(a.data());
    EXPECT_EQ(again, a);
    EXPECT_NE(other, a);
    // One component of 1: no value keeps more than a small share of it.
    std::vector<float> spike(width, 0.0f);
    spike[width - 1] = 1.0f;
    rotation.apply(spike.data());
    float largest = 0;
    for (float v : spike) largest = std::max(largest, std::abs(v));
    EXPECT_LE(largest, 0.5f);
  }
}

}  // namespace
}  // namespace hobrin::fast
