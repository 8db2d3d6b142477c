// The block kernel of the fast kernels (see BlockDistance), included by
// kernels_body.inl after kernels_block.inl: the same variant macros, the same
// namespace. Blocks of several queries go through the panel form below, the
// way a matrix product is computed; a block of a few queries through the
// dot-product form of kernels_block.inl.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

// The panel form: a panel of rows is copied, transposed, into a buffer that
// stays in the first-level cache (value k of its rows side by side), and a
// tile of queries x the panel's rows is summed in registers: each step loads
// the panel's values at k (two registers) and multiplies them by each
// query's value at k (one broadcast load), one fused multiply-add per
// register of the tile. Unlike the dot-product form, no lane sums are needed
// and the queries are read a value at a time, so they can stay in the
// second-level cache while the panel is in the first.
template <class T>
struct PanelShape {
  static constexpr std::size_t lanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(T);
  static constexpr std::size_t rows = 2 * lanes;
  // Dimensions per pass: a panel slice of 16 KiB.
  static constexpr std::size_t depth = (std::size_t{16} << 10) / (rows * sizeof(T));
  // Queries per tile: 2 accumulators each, plus the two panel registers and
  // the broadcast (and the product, without fused multiply-add) within the
  // register file: 32 registers with AVX-512 or on aarch64, 16 otherwise.
#if defined(__aarch64__)
  static constexpr std::size_t queries = 12;
#else
  static constexpr std::size_t queries = HOBRIN_FAST_VECTOR_BYTES == 64   ? 12
                                         : HOBRIN_FAST_VECTOR_BYTES == 32 ? 6
                                                                          : 5;
#endif
};

// Copies values [k0, k0 + depth) of the panel's rows x[0..rows) into
// panel[k * rows + r], transposed 8 x 8 (float) or 4 x 4 (double) in
// registers where AVX2 is present.
template <class T>
void pack(const T* const* x, std::size_t k0, std::size_t depth, T* panel) noexcept {
  constexpr std::size_t R = PanelShape<T>::rows;
#if defined(__AVX2__)
  if constexpr (std::is_same_v<T, float>) {
    for (std::size_t r = 0; r < R; r += 8) {
      for (std::size_t k = 0; k < depth; k += 8) {
        const std::size_t at = k0 + k;
        // Rows r..r+3 in the low halves, r+4..r+7 in the high ones: the
        // transposes then stay within 128-bit lanes.
        __m256 a[8];
        for (std::size_t i = 0; i < 4; ++i) {
          a[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(x[r + i] + at)),
                                      _mm_loadu_ps(x[r + i + 4] + at), 1);
          a[i + 4] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(x[r + i] + at + 4)),
                                          _mm_loadu_ps(x[r + i + 4] + at + 4), 1);
        }
        for (std::size_t h = 0; h < 8; h += 4) {
          const __m256 t0 = _mm256_unpacklo_ps(a[h], a[h + 1]);
          const __m256 t1 = _mm256_unpackhi_ps(a[h], a[h + 1]);
          const __m256 t2 = _mm256_unpacklo_ps(a[h + 2], a[h + 3]);
          const __m256 t3 = _mm256_unpackhi_ps(a[h + 2], a[h + 3]);
          T* to = panel + (k + h) * R + r;
          _mm256_storeu_ps(to, _mm256_shuffle_ps(t0, t2, 0x44));
          _mm256_storeu_ps(to + R, _mm256_shuffle_ps(t0, t2, 0xEE));
          _mm256_storeu_ps(to + 2 * R, _mm256_shuffle_ps(t1, t3, 0x44));
          _mm256_storeu_ps(to + 3 * R, _mm256_shuffle_ps(t1, t3, 0xEE));
        }
      }
    }
    return;
  } else {
    for (std::size_t r = 0; r < R; r += 4) {
      for (std::size_t k = 0; k < depth; k += 4) {
        const std::size_t at = k0 + k;
        // Rows r, r+1 in the low halves, r+2, r+3 in the high ones.
        __m256d a[4];
        for (std::size_t i = 0; i < 2; ++i) {
          a[i] = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(x[r + i] + at)),
                                      _mm_loadu_pd(x[r + i + 2] + at), 1);
          a[i + 2] = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(x[r + i] + at + 2)),
                                          _mm_loadu_pd(x[r + i + 2] + at + 2), 1);
        }
        T* to = panel + k * R + r;
        _mm256_storeu_pd(to, _mm256_unpacklo_pd(a[0], a[1]));
        _mm256_storeu_pd(to + R, _mm256_unpackhi_pd(a[0], a[1]));
        _mm256_storeu_pd(to + 2 * R, _mm256_unpacklo_pd(a[2], a[3]));
        _mm256_storeu_pd(to + 3 * R, _mm256_unpackhi_pd(a[2], a[3]));
      }
    }
    return;
  }
#endif
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t k = 0; k < depth; ++k) panel[k * R + r] = x[r][k0 + k];
  }
}

// sums[m * rows + r] (+)= the dot product of query m (values [k0, k0 +
// depth)) and panel row r, for M queries and the panel's first V registers
// of rows; the first slice of dimensions starts from zero.
template <class T, std::size_t M, std::size_t V, bool first>
void panel_tile(const T* const* q, std::size_t k0, const T* panel, std::size_t depth, T* sums) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = PanelShape<T>::lanes;
  constexpr std::size_t R = PanelShape<T>::rows;
  const T* at[M];
#pragma GCC unroll 12
  for (std::size_t m = 0; m < M; ++m) at[m] = q[m] + k0;
  Vector acc[M][V];
#pragma GCC unroll 12
  for (std::size_t m = 0; m < M; ++m) {
#pragma GCC unroll 2
    for (std::size_t v = 0; v < V; ++v) {
      if constexpr (first) {
        acc[m][v] = Vector{};
      } else {
        std::memcpy(&acc[m][v], sums + m * R + v * lanes, sizeof(Vector));
      }
    }
  }
#pragma GCC unroll 4
  for (std::size_t k = 0; k < depth; ++k) {
    Vector p[V];
#pragma GCC unroll 2
    for (std::size_t v = 0; v < V; ++v) std::memcpy(&p[v], panel + k * R + v * lanes, sizeof(Vector));
#pragma GCC unroll 12
    for (std::size_t m = 0; m < M; ++m) {
      const T s = at[m][k];
#pragma GCC unroll 2
      for (std::size_t v = 0; v < V; ++v) acc[m][v] += p[v] * s;
    }
  }
#pragma GCC unroll 12
  for (std::size_t m = 0; m < M; ++m) {
#pragma GCC unroll 2
    for (std::size_t v = 0; v < V; ++v) std::memcpy(sums + m * R + v * lanes, &acc[m][v], sizeof(Vector));
  }
}

template <class T>
using PanelTile = void (*)(const T* const*, std::size_t, const T*, std::size_t, T*) noexcept;

// panel_tiles[first][v - 1][m - 1]: the tile of m queries by v registers of
// rows, for the first slice of dimensions or a later one.
template <class T, bool first, std::size_t... M>
constexpr auto panel_tiles(std::index_sequence<M...>) noexcept {
  return std::array<std::array<PanelTile<T>, sizeof...(M)>, 2>{
      std::array<PanelTile<T>, sizeof...(M)>{panel_tile<T, M + 1, 1, first>...},
      std::array<PanelTile<T>, sizeof...(M)>{panel_tile<T, M + 1, 2, first>...}};
}

// The lower bounds of one panel's rows against each query of a group, from
// the dot products in sums[q * rows + r]; `valid` rows of the panel are real.
template <class T, Measure measure>
void panel_bounds(const T* sums, std::size_t group, const T* query_norms, const T* row_norms,
                  std::size_t valid, T slack, T* out, std::size_t out_stride) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = PanelShape<T>::lanes;
  constexpr std::size_t R = PanelShape<T>::rows;
  Vector norms[2];
  Vector offs[2];
  for (std::size_t v = 0; v < 2; ++v) {
    std::memcpy(&norms[v], row_norms + v * lanes, sizeof(Vector));
    offs[v] = slack * norms[v];
  }
  for (std::size_t q = 0; q < group; ++q) {
    const T qn = query_norms[q];
    const T qoff = slack * qn;
    alignas(64) T bounds[R];
    for (std::size_t v = 0; v < 2; ++v) {
      Vector p;
      std::memcpy(&p, sums + q * R + v * lanes, sizeof p);
      // As lower_bound, a register at a time.
      Vector b;
      if constexpr (measure == Measure::SquaredEuclidean) {
        b = (qn + norms[v]) - T{2} * p - (qoff + offs[v]);
      } else {
        b = -p - (qoff + offs[v]);
      }
      if (valid == R) {
        std::memcpy(out + q * out_stride + v * lanes, &b, sizeof b);
      } else {
        std::memcpy(bounds + v * lanes, &b, sizeof b);
      }
    }
    if (valid != R) std::memcpy(out + q * out_stride, bounds, valid * sizeof(T));
  }
}

// Queries in groups of kPanelGroup, rows in panels: each panel is read from
// memory once per group, packed a slice of dimensions at a time, and scored
// against every query of the group; the group's sums for the panel stay in
// the first-level cache between slices.
inline constexpr std::size_t kPanelGroup = 256;

template <class T, Measure measure>
void block_panel(const T* const* queries, std::size_t query_count, const T* base, std::size_t stride,
                 const std::uint32_t* nodes, std::size_t count, std::size_t padded_dim, T* out) noexcept {
  using Shape = PanelShape<T>;
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t R = Shape::rows;
  constexpr std::size_t MQ = Shape::queries;
  static_assert(R == 2 * Shape::lanes);
  static constexpr auto later = panel_tiles<T, false>(std::make_index_sequence<MQ>{});
  static constexpr auto first = panel_tiles<T, true>(std::make_index_sequence<MQ>{});
  const T slack = static_cast<T>(padded_dim + 256) * std::numeric_limits<T>::epsilon();
  alignas(64) T panel[Shape::depth * R];
  alignas(64) T sums[kPanelGroup * R];
  alignas(64) T row_norms[R];
  auto row = [&](std::size_t i) { return base + std::size_t{nodes[i]} * stride; };
  // Slices of equal length, whole 64-byte blocks: a short last slice would
  // pay a tile's fixed cost for few dimensions.
  constexpr std::size_t per_block = kBlockBytes / sizeof(T);
  const std::size_t slices = (padded_dim + Shape::depth - 1) / Shape::depth;
  const std::size_t slice = ((padded_dim + slices - 1) / slices + per_block - 1) / per_block * per_block;
  for (std::size_t g = 0; g < query_count; g += kPanelGroup) {
    const std::size_t group = std::min(kPanelGroup, query_count - g);
    T query_norms[kPanelGroup];
    for (std::size_t i = 0; i < group; ++i)
      query_norms[i] = squared_norm(queries[g + i], padded_dim, queries[g + i]);
    for (std::size_t i0 = 0; i0 < count; i0 += R) {
      const std::size_t valid = std::min(R, count - i0);
      // A short panel repeats its last row in the lanes it does not fill,
      // and uses one register of rows when that covers them.
      const std::size_t width = valid > Shape::lanes ? 1 : 0;
      const T* x[R];
      for (std::size_t r = 0; r < R; ++r) x[r] = row(i0 + std::min(r, valid - 1));
      // The next panel's first slice is fetched while this one is scored.
      for (std::size_t r = i0 + R; r < std::min(count, i0 + 2 * R); ++r) {
        for (std::size_t k = 0; k < slice; k += per_block) __builtin_prefetch(row(r) + k, 0, 2);
      }
      Vector norms[2] = {};
      for (std::size_t k0 = 0; k0 < padded_dim; k0 += slice) {
        const std::size_t depth = std::min(slice, padded_dim - k0);
        pack(x, k0, depth, panel);
        for (std::size_t k = 0; k < depth; ++k) {
          for (std::size_t v = 0; v < 2; ++v) {
            Vector p;
            std::memcpy(&p, panel + k * R + v * Shape::lanes, sizeof p);
            norms[v] += p * p;
          }
        }
        for (std::size_t q0 = 0; q0 < group; q0 += MQ) {
          const std::size_t m = std::min(MQ, group - q0);
          (k0 == 0 ? first : later)[width][m - 1](queries + g + q0, k0, panel, depth, sums + q0 * R);
        }
      }
      std::memcpy(row_norms, norms, sizeof norms);
      panel_bounds<T, measure>(sums, group, query_norms, row_norms, valid, slack, out + g * count + i0,
                               count);
    }
  }
}

// Blocks of fewer queries than a tile holds would leave most of each panel
// tile idle, and pay for packing rows that few queries read.
template <class T, Measure measure>
void block(const T* const* queries, std::size_t query_count, const T* base, std::size_t stride,
           const std::uint32_t* nodes, std::size_t count, std::size_t padded_dim, T* out) noexcept {
  if (count == 0 || query_count == 0) return;
  if (query_count < PanelShape<T>::queries) {
    block_dot<T, measure>(queries, query_count, base, stride, nodes, count, padded_dim, out);
  } else {
    block_panel<T, measure>(queries, query_count, base, stride, nodes, count, padded_dim, out);
  }
}

}  // namespace
}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
