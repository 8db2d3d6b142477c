// The AVX2 scan: eight tags gathered and compared at once; the entries whose
// tag differs are then copied one by one, in list order.
//
// Intrinsics and plain loops only: this file is compiled with -mavx2.
#include <immintrin.h>

#include "hobrin/hnsw/visited_scan.hpp"

namespace hobrin::avx2_scan {

std::size_t unvisited(const std::uint32_t* ids, std::size_t count, const std::uint32_t* tags,
                      std::uint32_t epoch, std::uint32_t* out) noexcept {
  const __m256i current = _mm256_set1_epi32(static_cast<int>(epoch));
  const int* base = reinterpret_cast<const int*>(tags);
  std::size_t found = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i entries = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids + i));
    const __m256i seen = _mm256_cmpeq_epi32(_mm256_i32gather_epi32(base, entries, 4), current);
    unsigned fresh = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(seen))) & 0xFFu;
    while (fresh != 0) {
      out[found++] = ids[i + static_cast<std::size_t>(__builtin_ctz(fresh))];
      fresh &= fresh - 1;
    }
  }
  for (; i < count; ++i) {
    if (tags[ids[i]] != epoch) out[found++] = ids[i];
  }
  return found;
}

}  // namespace hobrin::avx2_scan
