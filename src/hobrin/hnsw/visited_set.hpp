#pragma once
// The set of nodes a layer search has admitted.
#include <cstdint>

#include "common/epoch_set.hpp"

namespace hobrin {

template <class Tag>
using BasicVisitedSet = EpochSet<Tag>;

// 32-bit tags, as the SIMD neighbour scan gathers them.
using VisitedSet = BasicVisitedSet<std::uint32_t>;

}  // namespace hobrin
