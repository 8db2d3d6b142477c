// Every listed store keeps the contract that the index, the search and the
// file rely on: with_store picks it for its own options, its single, batch
// and block scores agree, what goes in comes back out, and a first batch
// undone leaves it as new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/core/stores.hpp"

namespace hobrin::ann {
namespace {

template <class... S>
::testing::Types<S...> as_types(StoreList<S...>);
using ListedStores = decltype(as_types(Stores{}));

template <class Store>
class StoreContract : public ::testing::Test {
 protected:
  using T = typename Store::Value;
  static constexpr std::size_t kDim = 12;
  static constexpr std::size_t kRows = 40;

  // The options of this store: int8 codes with or without full rows, or none.
  static IndexOptions options(bool keep_vectors) {
    IndexOptions o;
    o.dim = kDim;
    o.dtype = std::is_same_v<T, float> ? ElementType::Float32 : ElementType::Float64;
    o.quantization = Store::kCoded ? Quantization::Int8 : Quantization::None;
    o.keep_vectors = keep_vectors || !Store::kCoded;
    return o;
  }

  // A store holding kRows random rows, the last a copy of the first.
  Store filled(bool keep_vectors, bool rotate = false) {
    Store store = empty_store<Store>(options(keep_vectors));
    if constexpr (Store::kCoded) {
      if (rotate) {
        EXPECT_TRUE(store.set_rotation(5));
      }
    }
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    rows.resize(kRows * kDim);
    for (T& v : rows) v = static_cast<T>(normal(rng));
    std::copy_n(rows.begin(), kDim, rows.end() - kDim);
    store.adopt(store.learn(rows.data(), kRows));
    store.reserve(kRows);
    for (std::size_t i = 0; i < kRows; ++i) store.append(rows.data() + i * kDim);
    return store;
  }

  std::vector<T> rows;
};
TYPED_TEST_SUITE(StoreContract, ListedStores);

TYPED_TEST(StoreContract, IsTheStoreItsOptionsChoose) {
  for (const bool keep : {true, false}) {
    const bool chosen =
        with_store(TestFixture::options(keep), []<class S>(S*) { return std::is_same_v<S, TypeParam>; });
    EXPECT_TRUE(chosen) << "keep_vectors " << keep;
  }
}

TYPED_TEST(StoreContract, ScoresAgreeAndRowsComeBack) {
  using Value = typename TypeParam::Value;
  const std::size_t dim = TestFixture::kDim, count = TestFixture::kRows;
  for (const auto& [keep, rotate] :
       {std::pair(true, false), std::pair(false, false), std::pair(false, true)}) {
    SCOPED_TRACE(std::string(keep ? "rows kept" : "codes only") + (rotate ? ", rotated" : ""));
    TypeParam store = this->filled(keep, rotate);
    ASSERT_EQ(store.size(), count);
    auto prepared = store.make_query_rows();
    prepared.reserve(1);
    const auto query = store.prepare(this->rows.data() + 3 * dim, prepared, 0);
    std::vector<std::uint32_t> nodes(count);
    for (std::uint32_t i = 0; i < count; ++i) nodes[i] = i;
    std::vector<Value> batch(count), block(count);
    store.score_batch(query, nodes.data(), count, std::numeric_limits<Value>::infinity(), batch.data());
    store.score_block(&query, 1, nodes.data(), count, block.data());
    // The coarsest a kept row comes back: exact, or within a code step.
    float step = 0.0f;
    if constexpr (TypeParam::kCoded) {
      // Rotated codes: half a step in each rotated value, so at most that
      // times the root of their count in any one value turned back.
      const float turned =
          store.rotation_seed() ? std::sqrt(float(fast::code_dims(store.code(), dim))) : 1.0f;
      for (const auto& s : store.row_scalars())
        if (!store.keeps_vectors()) step = std::max(step, s.step / 2 * turned * 1.0001f + 1e-6f);
    }
    std::vector<Value> out(dim);
    for (std::uint32_t i = 0; i < count; ++i) {
      EXPECT_NEAR(batch[i], store.score(query, i), 1e-4 * (1 + std::abs(batch[i])));
      const Value exact = store.exact_score(query, i);
      EXPECT_LE(block[i], exact + 1e-4 * (1 + std::abs(exact)));
      store.copy_out(i, out.data());
      for (std::size_t j = 0; j < dim; ++j)
        EXPECT_NEAR(out[j], this->rows[i * dim + j], step) << i << "," << j;
    }
    EXPECT_TRUE(store.identical(0, static_cast<std::uint32_t>(count - 1)));
    EXPECT_FALSE(store.identical(0, 1));
  }
}

TYPED_TEST(StoreContract, AFirstBatchUndoneLeavesTheStoreAsNew) {
  TypeParam store = this->filled(false);
  ASSERT_FALSE(store.order().empty());  // Euclidean: the first batch chose an order
  store.truncate(0);
  store.forget();
  EXPECT_EQ(store.size(), 0u);
  EXPECT_TRUE(store.order().empty());
  if constexpr (TypeParam::kCoded) {
    EXPECT_TRUE(store.row_scalars().empty());
    for (const auto values : {store.offsets(), store.scales()})
      EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float v) { return v == 0.0f; }));
  }
}

}  // namespace
}  // namespace hobrin::ann
