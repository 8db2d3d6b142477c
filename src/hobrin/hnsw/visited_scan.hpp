#pragma once
// The first pass of a neighbour scan: which entries of a list the visited set
// does not hold yet. Most entries of a long list have been met before, so the
// SIMD variant tests eight at a time and only the rest are handled one by one.
// Variants are chosen once per process, with the metric kernels' choice.
#include <cstddef>
#include <cstdint>

namespace hobrin {

// Copies to `out`, in list order, the entries of ids[0 .. count) whose tag,
// tags[entry], differs from `epoch`; returns how many.
using UnvisitedScan = std::size_t (*)(const std::uint32_t* ids, std::size_t count, const std::uint32_t* tags,
                                      std::uint32_t epoch, std::uint32_t* out) noexcept;

namespace scalar_scan {
std::size_t unvisited(const std::uint32_t*, std::size_t, const std::uint32_t*, std::uint32_t,
                      std::uint32_t*) noexcept;
}  // namespace scalar_scan

// x86-64 only.
namespace avx2_scan {
std::size_t unvisited(const std::uint32_t*, std::size_t, const std::uint32_t*, std::uint32_t,
                      std::uint32_t*) noexcept;
}  // namespace avx2_scan

// The scan of the variant in use: on x86-64 AVX2 unless the metric kernels
// are scalar, elsewhere the scalar one.
UnvisitedScan active_unvisited_scan() noexcept;

}  // namespace hobrin
