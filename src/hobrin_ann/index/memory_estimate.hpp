#pragma once
// The memory an index of a given shape holds, from the layout of its parts:
// for sizing a machine or a worker before any vector is added.
#include <cstddef>

#include "hobrin_ann/core/options.hpp"

namespace hobrin::ann {

// What GraphIndex::memory_bytes() reports, on average over the level draws,
// for an index of `count` vectors of `dim` values of `dtype` with `m` links
// per upper-layer list, added in one batch (later batches may leave arrays up
// to half again larger) and none removed. Metadata is not counted, as there.
// Saturates at SIZE_MAX.
std::size_t estimate_memory_bytes(std::size_t dim, ElementType dtype, std::size_t m, std::size_t count,
                                  Quantization quantization = Quantization::None,
                                  bool keep_vectors = true) noexcept;

}  // namespace hobrin::ann
