#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "common/metadata.hpp"
#include "hobrin/filter/filter.hpp"
#include "hobrin_ann/filters/value_index.hpp"

namespace hobrin {
namespace {

using namespace std::string_literals;

struct EqualityCase {
  const char* name;
  Metadata a;
  Metadata b;
  bool equal;
};

class MetadataEquality : public ::testing::TestWithParam<EqualityCase> {};

// A filter's predicate is the same equality, so both are checked on each pair.
TEST_P(MetadataEquality, OperatorAndFilterAgree) {
  const auto& c = GetParam();
  EXPECT_EQ(c.a == c.b, c.equal);
  EXPECT_EQ(c.b == c.a, c.equal);
  const Filter filter = Filter::equal_to("attr", c.a);
  EXPECT_EQ((*filter.predicate)(c.b), c.equal);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Kinds, MetadataEquality,
    ::testing::Values(EqualityCase{"same_text", {"blue"s}, {"blue"s}, true},
                      EqualityCase{"text_is_case_sensitive", {"blue"s}, {"Blue"s}, false},
                      EqualityCase{"text_with_nul_bytes", {"a\0b"s}, {"a\0c"s}, false},
                      EqualityCase{"same_int", {std::int64_t{42}}, {std::int64_t{42}}, true},
                      EqualityCase{"int_extremes",
                                   {std::numeric_limits<std::int64_t>::min()},
                                   {std::numeric_limits<std::int64_t>::max()},
                                   false},
                      EqualityCase{"int_vs_float", {std::int64_t{1}}, {1.0}, false},
                      EqualityCase{"text_vs_int", {"42"s}, {std::int64_t{42}}, false},
                      EqualityCase{"big_int_vs_its_float", {std::int64_t{1} << 62}, {0x1.0p62}, false},
                      EqualityCase{"same_float", {0.1}, {0.1}, true},
                      EqualityCase{"signed_zeros", {0.0}, {-0.0}, true},
                      EqualityCase{"nan_is_never_equal", {kNaN}, {kNaN}, false},
                      EqualityCase{"infinities", {HUGE_VAL}, {HUGE_VAL}, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Schema, PositionIsTheFirstMatchByteForByte) {
  const Schema schema{"color", "size", "color", "Size"};
  EXPECT_EQ(schema_position(schema, "color"), 0u);
  EXPECT_EQ(schema_position(schema, "Size"), 3u);
  EXPECT_EQ(schema_position(schema, "colour"), std::nullopt);
  EXPECT_EQ(schema_position(Schema{}, ""), std::nullopt);
}

// Rows stay with their own nodes whatever the mix of nodes with and without
// rows, including after a truncation and new appends.
TEST(MetadataStore, RowsStayWithTheirNodes) {
  auto row = [](std::int64_t v) { return MetadataRow{{v}, {"t" + std::to_string(v)}}; };
  MetadataStore store;
  store.append_row(row(0));
  store.append_no_row();
  store.append_row(row(2));
  store.append_no_row();
  store.append_row(row(4));
  auto check = [&](std::size_t node, std::optional<std::int64_t> expected) {
    const auto r = store.row(node, 2);
    ASSERT_EQ(r.has_value(), expected.has_value()) << "node " << node;
    if (expected) {
      EXPECT_EQ((*r)[0], Metadata{*expected});
      EXPECT_EQ((*r)[1], Metadata{"t" + std::to_string(*expected)});
    }
  };
  for (std::size_t n = 0; n < 5; ++n) check(n, n % 2 == 0 ? std::optional<std::int64_t>(n) : std::nullopt);

  store.truncate_nodes(3);  // the first dropped node has no row
  EXPECT_EQ(store.node_count(), 3u);
  store.append_row(row(7));
  check(2, 2);
  check(3, 7);
  store.truncate_nodes(2);  // the first dropped node has a row
  store.append_no_row();
  store.append_row(row(9));
  check(0, 0);
  check(1, std::nullopt);
  check(2, std::nullopt);
  check(3, 9);

  EXPECT_THROW((void)store.row(4, 2), InternalFault);
  EXPECT_THROW((void)store.row(3, 3), InternalFault);  // would run past the store
}

TEST(MetadataStore, EmptyRowsAreRowsNotAbsence) {
  MetadataStore store;
  store.append_row({});
  store.append_no_row();
  ASSERT_TRUE(store.row(0, 0).has_value());
  EXPECT_TRUE(store.row(0, 0)->empty());
  EXPECT_FALSE(store.row(1, 0).has_value());
}

}  // namespace
}  // namespace hobrin

namespace hobrin {
namespace {

TEST(ValueIndex, ListsNodesByValueAndForgetsTruncatedOnes) {
  ValueIndex index(2);
  const auto row = [](Metadata a, Metadata b) { return MetadataRow{std::move(a), std::move(b)}; };
  index.append(0, row(Metadata{std::int64_t{1}}, Metadata{-0.0}));
  index.append(1, row(Metadata{1.0}, Metadata{std::nan("")}));
  index.append(2, row(Metadata{std::int64_t{1}}, Metadata{0.0}));
  const auto nodes = [&](std::size_t attribute, Metadata value) {
    const auto found = index.nodes_with(attribute, value);
    return std::vector<std::uint32_t>(found.begin(), found.end());
  };
  // Numbers are listed by value, as filters compare them: 1 and 1.0 together.
  EXPECT_EQ(nodes(0, Metadata{std::int64_t{1}}), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(nodes(0, Metadata{1.0}), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(nodes(1, Metadata{0.0}), (std::vector<std::uint32_t>{0, 2}));  // -0.0 equals +0.0
  EXPECT_TRUE(nodes(1, Metadata{std::nan("")}).empty());
  index.truncate(1);
  EXPECT_EQ(nodes(0, Metadata{1.0}), (std::vector<std::uint32_t>{0}));
}

// compare_values orders numbers by value across kinds, exactly where a
// conversion would round, then text by code point after every number.
TEST(ValueIndex, ComparesNumbersExactlyAndTextByCodePoint) {
  const auto i = [](std::int64_t v) { return Metadata{v}; };
  const auto f = [](double v) { return Metadata{v}; };
  const std::int64_t two53 = std::int64_t{1} << 53;
  EXPECT_EQ(compare_values(i(1), f(1.0)), 0);
  EXPECT_EQ(compare_values(i(two53 + 1), f(9007199254740992.0)), 1);  // the float is 2**53
  EXPECT_EQ(compare_values(f(9007199254740992.0), i(two53 + 1)), -1);
  EXPECT_EQ(compare_values(i(std::numeric_limits<std::int64_t>::max()), f(9223372036854775808.0)), -1);
  EXPECT_EQ(compare_values(i(std::numeric_limits<std::int64_t>::min()), f(-9223372036854775808.0)), 0);
  EXPECT_EQ(compare_values(i(-3), f(-2.5)), -1);
  EXPECT_EQ(compare_values(i(2), f(-std::numeric_limits<double>::infinity())), 1);
  EXPECT_EQ(compare_values(f(1e300), Metadata{""s}), -1);                   // numbers before text
  EXPECT_EQ(compare_values(Metadata{"\xc3\xa9"s}, Metadata{"z"s}), 1);  // "é" after "z"
}

TEST(ValueIndex, ListsEveryTagAndRangesOverValues) {
  ValueIndex index(1);
  const auto tags = [](std::vector<Metadata> list) {
    return MetadataRow{Metadata{MetadataList(std::move(list))}};
  };
  index.append(0, tags({Metadata{"a"s}, Metadata{std::int64_t{5}}, Metadata{"a"s}}));
  index.append(2, tags({}));
  index.append(3, tags({Metadata{2.5}, Metadata{"b"s}}));
  const auto nodes = [&](const Metadata& value) {
    const auto found = index.nodes_with(0, value);
    return std::vector<std::uint32_t>(found.begin(), found.end());
  };
  EXPECT_EQ(nodes(Metadata{"a"s}), (std::vector<std::uint32_t>{0}));  // a repeated tag lists its node once
  EXPECT_EQ(nodes(Metadata{5.0}), (std::vector<std::uint32_t>{0}));
  std::vector<std::uint32_t> in_range;
  const Metadata low{std::int64_t{2}};
  index.for_each_in_range(0, false, {&low, true}, {}, [&](std::span<const std::uint32_t> list) {
    in_range.insert(in_range.end(), list.begin(), list.end());
  });
  EXPECT_EQ(in_range, (std::vector<std::uint32_t>{3, 0}));  // 2.5, then 5: numbers only
  EXPECT_TRUE(index.holds_text(0) && index.holds_numbers(0));
  EXPECT_EQ(index.with_row()[0], 0b1101u);  // node 1 has no row
  index.truncate(3);
  EXPECT_EQ(index.with_row()[0], 0b0101u);
  EXPECT_TRUE(nodes(Metadata{"b"s}).empty());
  in_range.clear();  // the sorted copy follows the change
  index.for_each_in_range(0, true, {}, {}, [&](std::span<const std::uint32_t> list) {
    in_range.insert(in_range.end(), list.begin(), list.end());
  });
  EXPECT_EQ(in_range, (std::vector<std::uint32_t>{0}));
}

}  // namespace
}  // namespace hobrin
