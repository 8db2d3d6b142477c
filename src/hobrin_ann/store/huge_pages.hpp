#pragma once
// Advice that memory read at random (rows, quantized blocks) lie on 2 MiB
// pages: on 4 KiB pages nearly every such read misses the TLB.
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace hobrin::ann {

// Asks for the whole 2 MiB pages inside [p, p + bytes) to be huge pages,
// before they are first touched. Advice only: without it all works the same.
inline void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const auto first = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace hobrin::ann
