// The block kernel of the fast kernels (see BlockDistance), included by
// kernels_body.inl after its helpers: the same variant macros, the same
// namespace.
#include <algorithm>
#include <array>
#include <utility>

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

// The tile: queries x rows summed at once. Each pair keeps one accumulator
// register; a step also holds the tile's rows, one query and, for Euclidean,
// the difference. The shapes fill the registers without spilling: 16 below
// AVX-512, 32 with it.
template <Measure measure>
struct TileShape {
  static constexpr bool wide = HOBRIN_FAST_VECTOR_BYTES == 64;
  static constexpr bool fused = HOBRIN_FAST_VECTOR_BYTES >= 32;  // no temporary for a product
  static constexpr std::size_t queries = wide || (fused && measure == Measure::NegativeDot) ? 4 : 3;
  static constexpr std::size_t rows = wide ? (measure == Measure::NegativeDot ? 6 : 5) : 3;
};

// Scores queries q[0..QT) against rows x[0..RT) into out[qi * out_stride + r].
// While the first query tile of a row tile is summed, the rows of the next
// row tile (`next`, when given) are fetched a line at a time.
template <class T, Measure measure, std::size_t QT, std::size_t RT>
void tile(const T* const* q, const T* const* x, std::size_t padded_dim, const T* const* next, T* out,
          std::size_t out_stride) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(T);
  constexpr std::size_t per_line = kBlockBytes / sizeof(T);
  Vector acc[QT][RT] = {};
  for (std::size_t k = 0; k < padded_dim; k += lanes) {
    if (next != nullptr && k % per_line == 0) {
#pragma GCC unroll 8
      for (std::size_t r = 0; r < RT; ++r) __builtin_prefetch(next[r] + k);
    }
    Vector xv[RT];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < RT; ++r) std::memcpy(&xv[r], x[r] + k, sizeof(Vector));
#pragma GCC unroll 8
    for (std::size_t i = 0; i < QT; ++i) {
      Vector qv;
      std::memcpy(&qv, q[i] + k, sizeof qv);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < RT; ++r) {
        if constexpr (measure == Measure::SquaredEuclidean) {
          const Vector d = qv - xv[r];
          acc[i][r] += d * d;
        } else {
          acc[i][r] += qv * xv[r];
        }
      }
    }
  }
  for (std::size_t i = 0; i < QT; ++i) {
    for (std::size_t r = 0; r < RT; ++r) {
      const T sum = lane_sum<T>(acc[i][r]);
      out[i * out_stride + r] = measure == Measure::NegativeDot ? -sum : sum;
    }
  }
}

template <class T>
using TileFunction = void (*)(const T* const*, const T* const*, std::size_t, const T* const*, T*,
                              std::size_t) noexcept;

// tiles[qt - 1][rt - 1]: the tile of qt queries by rt rows, for the edges of a block.
template <class T, Measure measure, std::size_t... Q, std::size_t... R>
constexpr auto tile_table(std::index_sequence<Q...>, std::index_sequence<R...>) noexcept {
  auto row = []<std::size_t q>(std::integral_constant<std::size_t, q>) {
    return std::array<TileFunction<T>, sizeof...(R)>{tile<T, measure, q + 1, R + 1>...};
  };
  return std::array<std::array<TileFunction<T>, sizeof...(R)>, sizeof...(Q)>{
      row(std::integral_constant<std::size_t, Q>{})...};
}

// Rows outside, queries inside: a tile of rows is read from memory once and
// stays in the first-level cache while every query of the block scores it;
// the queries stay cached from one row tile to the next.
template <class T, Measure measure>
void block(const T* const* queries, std::size_t query_count, const T* base, std::size_t stride,
           const std::uint32_t* nodes, std::size_t count, std::size_t padded_dim, T* out) noexcept {
  using Shape = TileShape<measure>;
  constexpr std::size_t QT = Shape::queries;
  constexpr std::size_t RT = Shape::rows;
  static constexpr auto tiles =
      tile_table<T, measure>(std::make_index_sequence<QT>{}, std::make_index_sequence<RT>{});
  auto row = [&](std::size_t i) { return base + std::size_t{nodes[i]} * stride; };
  for (std::size_t i0 = 0; i0 < count; i0 += RT) {
    const std::size_t rt = std::min(RT, count - i0);
    const T* x[RT];
    const T* next[RT];
    for (std::size_t r = 0; r < RT; ++r) {
      x[r] = row(i0 + std::min(r, rt - 1));
      next[r] = row(std::min(i0 + RT + r, count - 1));
    }
    for (std::size_t q0 = 0; q0 < query_count; q0 += QT) {
      const std::size_t qt = std::min(QT, query_count - q0);
      tiles[qt - 1][rt - 1](queries + q0, x, padded_dim, q0 == 0 ? next : nullptr, out + q0 * count + i0,
                            count);
    }
  }
}

}  // namespace
}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
