// The block kernel of the fast kernels (see BlockDistance), included by
// kernels_body.inl after its helpers: the same variant macros, the same
// namespace.
#include <algorithm>
#include <array>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

// The tile: queries x rows of dot products summed at once. Each pair keeps
// one accumulator register; a step also holds the tile's rows and one query
// (and, without fused multiply-add, the product). The shapes fill the
// registers without spilling: 16 below AVX-512, 32 with it.
struct TileShape {
  static constexpr bool wide = HOBRIN_FAST_VECTOR_BYTES == 64;
  static constexpr bool fused = HOBRIN_FAST_VECTOR_BYTES >= 32;
  static constexpr std::size_t queries = wide || fused ? 4 : 3;
  static constexpr std::size_t rows = wide ? 6 : 3;
};

// What the scans need from a tile: a lower bound of each pair's distance as
// the pair kernel computes it, close enough to rank by. From the dot
// product p, squared Euclidean is |q|^2 + |x|^2 - 2p (the squared norms come
// with the call) and negated dot is -p. Either is off by rounding that grows
// with |q|^2 + |x|^2, not with the distance: `slack` times that sum bounds it
// (and the pair kernel's own rounding) and is taken off.
template <class T, Measure measure>
inline T lower_bound(T product, T query_norm, T row_norm, T slack) noexcept {
  const T off = slack * (query_norm + row_norm);
  if constexpr (measure == Measure::SquaredEuclidean) return query_norm + row_norm - 2 * product - off;
  return -product - off;
}

// Scores queries q[0..QT) against rows x[0..RT) into out[qi * out_stride + r].
template <class T, Measure measure, std::size_t QT, std::size_t RT>
void tile(const T* const* q, const T* const* x, std::size_t padded_dim, const T* query_norms,
          const T* row_norms, T slack, T* out, std::size_t out_stride) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(T);
  Vector acc[QT][RT] = {};
#pragma GCC unroll 2
  for (std::size_t k = 0; k < padded_dim; k += lanes) {
    Vector xv[RT];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < RT; ++r) std::memcpy(&xv[r], x[r] + k, sizeof(Vector));
#pragma GCC unroll 8
    for (std::size_t i = 0; i < QT; ++i) {
      Vector qv;
      std::memcpy(&qv, q[i] + k, sizeof qv);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < RT; ++r) acc[i][r] += qv * xv[r];
    }
  }
#if defined(__AVX2__) && HOBRIN_FAST_VECTOR_BYTES == 32
  if constexpr (std::is_same_v<T, float> && RT <= 4) {
    // Short rows make the lane sums a large share: three horizontal adds
    // give a query's four sums at once.
#pragma GCC unroll 8
    for (std::size_t i = 0; i < QT; ++i) {
      __m256 a[4];
#pragma GCC unroll 4
      for (std::size_t r = 0; r < 4; ++r) std::memcpy(&a[r], &acc[i][r < RT ? r : 0], sizeof a[r]);
      const __m256 sums = _mm256_hadd_ps(_mm256_hadd_ps(a[0], a[1]), _mm256_hadd_ps(a[2], a[3]));
      const __m128 p = _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
      alignas(16) float bounds[4];
      _mm_store_ps(bounds, p);
#pragma GCC unroll 4
      for (std::size_t r = 0; r < RT; ++r) {
        out[i * out_stride + r] = lower_bound<T, measure>(bounds[r], query_norms[i], row_norms[r], slack);
      }
    }
    return;
  }
#endif
#pragma GCC unroll 8
  for (std::size_t i = 0; i < QT; ++i) {
#pragma GCC unroll 8
    for (std::size_t r = 0; r < RT; ++r) {
      out[i * out_stride + r] =
          lower_bound<T, measure>(register_sum(acc[i][r]), query_norms[i], row_norms[r], slack);
    }
  }
}

// The squared norm of a padded row; `next` is fetched a line at a time
// meanwhile (the scan's next row).
template <class T>
T squared_norm(const T* row, std::size_t padded_dim, const T* next) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(T);
  Vector acc{};
  for (std::size_t k = 0; k < padded_dim; k += lanes) {
    if (k % (kBlockBytes / sizeof(T)) == 0) __builtin_prefetch(next + k);
    Vector v;
    std::memcpy(&v, row + k, sizeof v);
    acc += v * v;
  }
  return register_sum(acc);
}

template <class T>
using TileFunction = void (*)(const T* const*, const T* const*, std::size_t, const T*, const T*, T, T*,
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

// The dot-product form, for blocks of a few queries (a scan that serves one
// query): rows outside, queries inside. A tile of rows is read from memory once (by
// its norms, which fetch the next tile meanwhile) and stays in the
// first-level cache while every query of the block scores it; the queries
// stay cached from one row tile to the next. Queries go in groups of
// kQueryGroup, whose norms are kept.
inline constexpr std::size_t kQueryGroup = 64;

template <class T, Measure measure>
void block_dot(const T* const* queries, std::size_t query_count, const T* base, std::size_t stride,
               const std::uint32_t* nodes, std::size_t count, std::size_t padded_dim, T* out) noexcept {
  constexpr std::size_t QT = TileShape::queries;
  constexpr std::size_t RT = TileShape::rows;
  static constexpr auto tiles =
      tile_table<T, measure>(std::make_index_sequence<QT>{}, std::make_index_sequence<RT>{});
  // Rounding of sums of padded_dim products, in either kernel, with room to spare.
  const T slack = static_cast<T>(padded_dim + 256) * std::numeric_limits<T>::epsilon();
  auto row = [&](std::size_t i) { return base + std::size_t{nodes[i]} * stride; };
  for (std::size_t g = 0; g < query_count; g += kQueryGroup) {
    const std::size_t group = std::min(kQueryGroup, query_count - g);
    T query_norms[kQueryGroup];
    for (std::size_t i = 0; i < group; ++i)
      query_norms[i] = squared_norm(queries[g + i], padded_dim, queries[g + i]);
    for (std::size_t i0 = 0; i0 < count; i0 += RT) {
      const std::size_t rt = std::min(RT, count - i0);
      const T* x[RT];
      T row_norms[RT];
      for (std::size_t r = 0; r < RT; ++r) {
        x[r] = row(i0 + std::min(r, rt - 1));
        row_norms[r] = squared_norm(x[r], padded_dim, row(std::min(i0 + RT + r, count - 1)));
      }
      for (std::size_t q0 = 0; q0 < group; q0 += QT) {
        const std::size_t qt = std::min(QT, group - q0);
        tiles[qt - 1][rt - 1](queries + g + q0, x, padded_dim, query_norms + q0, row_norms, slack,
                              out + (g + q0) * count + i0, count);
      }
    }
  }
}

}  // namespace
}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
