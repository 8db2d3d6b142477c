// The one body of the fast kernels, included by each instruction-set file
// after it defines HOBRIN_FAST_VARIANT (its namespace), HOBRIN_FAST_NAME and
// HOBRIN_FAST_VECTOR_BYTES (its register width: 16, 32 or 64). With FMA
// enabled, `acc += a * b` becomes one fused instruction.
#include <cstring>

#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

// One register of the instruction set: HOBRIN_FAST_VECTOR_BYTES wide.
template <class T>
struct Register;
template <>
struct Register<float> {
  typedef float Vector __attribute__((vector_size(HOBRIN_FAST_VECTOR_BYTES)));
};
template <>
struct Register<double> {
  typedef double Vector __attribute__((vector_size(HOBRIN_FAST_VECTOR_BYTES)));
};

// Vectors are passed by reference only: a vector returned by value would
// follow a different calling convention in each file.
template <class T, Measure measure>
inline void accumulate(typename Register<T>::Vector& acc, const T* a, const T* b) noexcept {
  typename Register<T>::Vector x;
  typename Register<T>::Vector y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  if constexpr (measure == Measure::SquaredEuclidean) {
    const auto d = x - y;
    acc += d * d;
  } else {
    acc += x * y;
  }
}

// The sum of a register's lanes, halving it in registers: the upper half is
// added to the lower until one lane is left, so the chain of dependent
// additions is log2(lanes) long. Going through an array in memory instead
// made the compiler spill the register and sum it lane by lane, which cost a
// 48-d distance about a third of its time. (By reference: see accumulate.)
typedef float Floats8 __attribute__((vector_size(8)));
typedef float Floats16 __attribute__((vector_size(16)));
typedef float Floats32 __attribute__((vector_size(32)));
typedef float Floats64 __attribute__((vector_size(64)));
typedef double Doubles16 __attribute__((vector_size(16)));
typedef double Doubles32 __attribute__((vector_size(32)));
typedef double Doubles64 __attribute__((vector_size(64)));

template <class Half, class V>
inline void add_halves(const V& v, Half& out) noexcept {
  Half high;
  std::memcpy(&out, &v, sizeof out);
  std::memcpy(&high, reinterpret_cast<const char*>(&v) + sizeof out, sizeof high);
  out += high;
}
inline float register_sum(const Floats8& v) noexcept { return v[0] + v[1]; }
inline float register_sum(const Floats16& v) noexcept {
  Floats8 half;
  add_halves(v, half);
  return register_sum(half);
}
inline float register_sum(const Floats32& v) noexcept {
  Floats16 half;
  add_halves(v, half);
  return register_sum(half);
}
inline float register_sum(const Floats64& v) noexcept {
  Floats32 half;
  add_halves(v, half);
  return register_sum(half);
}
inline double register_sum(const Doubles16& v) noexcept { return v[0] + v[1]; }
inline double register_sum(const Doubles32& v) noexcept {
  Doubles16 half;
  add_halves(v, half);
  return register_sum(half);
}
inline double register_sum(const Doubles64& v) noexcept {
  Doubles32 half;
  add_halves(v, half);
  return register_sum(half);
}

// Four accumulators keep four chains of additions in flight; `prefetch` is
// read one step ahead, for the next row to be scored. With `bounded`, a
// squared Euclidean sum stops every 512 bytes once it exceeds `bound`: the
// terms left are never negative, so the whole sum would exceed it too.
template <class T, Measure measure, bool bounded, bool prefetching = true>
inline T distance(const T* a, const T* b, std::size_t padded_dim, const T* prefetch, T bound) noexcept {
  using Vector = typename Register<T>::Vector;
  constexpr std::size_t lanes = HOBRIN_FAST_VECTOR_BYTES / sizeof(T);
  constexpr std::size_t step = 4 * lanes;
  constexpr std::size_t check_every = 512 / sizeof(T);
  Vector acc0{};
  Vector acc1{};
  Vector acc2{};
  Vector acc3{};
  std::size_t i = 0;
  for (; i + step <= padded_dim; i += step) {
    if constexpr (prefetching) {
      for (std::size_t byte = 0; byte < step * sizeof(T); byte += kBlockBytes) {
        __builtin_prefetch(reinterpret_cast<const char*>(prefetch + i) + byte);
      }
    }
    accumulate<T, measure>(acc0, a + i, b + i);
    accumulate<T, measure>(acc1, a + i + lanes, b + i + lanes);
    accumulate<T, measure>(acc2, a + i + 2 * lanes, b + i + 2 * lanes);
    accumulate<T, measure>(acc3, a + i + 3 * lanes, b + i + 3 * lanes);
    if constexpr (bounded && measure == Measure::SquaredEuclidean) {
      if ((i + step) % check_every == 0 && i + step < padded_dim) {
        const T partial = register_sum((acc0 + acc1) + (acc2 + acc3));
        if (partial > bound) return partial;
      }
    }
  }
  for (; i < padded_dim; i += lanes) {
    if constexpr (prefetching) __builtin_prefetch(prefetch + i);
    accumulate<T, measure>(acc0, a + i, b + i);
  }
  const T sum = register_sum((acc0 + acc1) + (acc2 + acc3));
  return measure == Measure::NegativeDot ? -sum : sum;
}

template <class T>
inline void prefetch_row(const T* row, std::size_t padded_dim) noexcept {
  for (std::size_t j = 0; j < padded_dim; j += kBlockBytes / sizeof(T)) __builtin_prefetch(row + j);
}

// Reading a row from memory takes longer than scoring it. Long rows are
// prefetched one ahead, line by line as the current one is scored; short
// rows are prefetched whole, enough of them ahead to keep about 1 KiB in
// flight. A finite bound lets squared Euclidean sums stop early; the others
// ignore it.
template <class T, Measure measure, bool bounded>
void batch_rows(const T* query, const T* base, std::size_t stride, const std::uint32_t* nodes,
                std::size_t count, std::size_t padded_dim, T bound, T* out) noexcept {
  auto row = [&](std::size_t i) { return base + std::size_t{nodes[i]} * stride; };
  const std::size_t row_bytes = padded_dim * sizeof(T);
  if (row_bytes >= 1024) {
    if (count > 0) prefetch_row(row(0), padded_dim);
    for (std::size_t i = 0; i < count; ++i) {
      const T* ahead = i + 1 < count ? row(i + 1) : row(i);
      out[i] = distance<T, measure, bounded>(query, row(i), padded_dim, ahead, bound);
    }
    return;
  }
  const std::size_t ahead = row_bytes == 0 ? 1 : 1024 / row_bytes;
  for (std::size_t i = 0; i < ahead && i < count; ++i) prefetch_row(row(i), padded_dim);
  for (std::size_t i = 0; i < count; ++i) {
    if (i + ahead < count) prefetch_row(row(i + ahead), padded_dim);
    out[i] = distance<T, measure, bounded, false>(query, row(i), padded_dim, nullptr, bound);
  }
}

template <class T, Measure measure>
void batch(const T* query, const T* base, std::size_t stride, const std::uint32_t* nodes, std::size_t count,
           std::size_t padded_dim, T bound, T* out) noexcept {
  if (measure == Measure::SquaredEuclidean && bound < __builtin_huge_val()) {
    batch_rows<T, measure, true>(query, base, stride, nodes, count, padded_dim, bound, out);
  } else {
    batch_rows<T, measure, false>(query, base, stride, nodes, count, padded_dim, bound, out);
  }
}

template <class T, Measure measure>
T pair(const T* a, const T* b, std::size_t padded_dim) noexcept {
  return distance<T, measure, false, false>(a, b, padded_dim, nullptr, T{0});
}

}  // namespace
}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT

#include "hobrin_ann/kernels/codes_body.inl"
#include "hobrin_ann/kernels/kernels_block.inl"
#include "hobrin_ann/kernels/kernels_panel.inl"

namespace hobrin::fast::HOBRIN_FAST_VARIANT {
namespace {

template <class T>
FastKernels<T> kernels_for(Measure measure) noexcept {
  if (measure == Measure::SquaredEuclidean) {
    return {HOBRIN_FAST_NAME, batch<T, Measure::SquaredEuclidean>, pair<T, Measure::SquaredEuclidean>,
            block<T, Measure::SquaredEuclidean>};
  }
  return {HOBRIN_FAST_NAME, batch<T, Measure::NegativeDot>, pair<T, Measure::NegativeDot>,
          block<T, Measure::NegativeDot>};
}

}  // namespace

FastKernels<float> float_kernels(Measure measure) noexcept { return kernels_for<float>(measure); }
FastKernels<double> double_kernels(Measure measure) noexcept { return kernels_for<double>(measure); }

}  // namespace hobrin::fast::HOBRIN_FAST_VARIANT
