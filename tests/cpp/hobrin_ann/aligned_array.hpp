#pragma once
// Arrays on 64-byte boundaries, as the stores keep rows, for the measures
// that time kernels over rows or blocks of their own.
#include <cstddef>
#include <memory>
#include <new>

#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast {

struct AlignedFree {
  void operator()(void* p) const noexcept { ::operator delete[](p, std::align_val_t{kBlockBytes}); }
};

// Room for n values of T, uninitialised.
template <class T>
std::unique_ptr<T[], AlignedFree> aligned(std::size_t n) {
  return std::unique_ptr<T[], AlignedFree>(
      static_cast<T*>(::operator new[](n * sizeof(T), std::align_val_t{kBlockBytes})));
}

}  // namespace hobrin::fast
