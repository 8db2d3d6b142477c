#include "hobrin/hnsw/visited_scan.hpp"

#include "hobrin/distance/kernels.hpp"

namespace hobrin {

namespace scalar_scan {

std::size_t unvisited(const std::uint32_t* ids, std::size_t count, const std::uint32_t* tags,
                      std::uint32_t epoch, std::uint32_t* out) noexcept {
  std::size_t found = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // The tags are read in list order but lie anywhere in memory.
    if (i + 8 < count) __builtin_prefetch(tags + ids[i + 8]);
    if (tags[ids[i]] != epoch) out[found++] = ids[i];
  }
  return found;
}

}  // namespace scalar_scan

UnvisitedScan active_unvisited_scan() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // Every CPU with AVX-512 also runs AVX2.
  static const UnvisitedScan chosen =
      active_variant() == KernelVariant::Scalar ? scalar_scan::unvisited : avx2_scan::unvisited;
  return chosen;
#else
  // Advanced SIMD has no gather: the tags lie anywhere in memory, so the scan
  // is the scalar one.
  return scalar_scan::unvisited;
#endif
}

}  // namespace hobrin
