#pragma once
// The checks the reader makes on values it takes from a file. Each failure
// throws CorruptIndex with a message that says what is wrong.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace hobrin::ann::format {

[[noreturn]] void corrupt(const std::string& what);

// a * b, or CorruptIndex("<what>: its size overflows").
std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, const std::string& what);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) noexcept;

// The slots of node `node`'s list on `level`: links to nodes below `nodes`
// first, then only kNoNode.
void check_list(std::span<const std::uint32_t> slots, std::uint64_t nodes, std::uint64_t node, int level);
// check_list() of `lists` consecutive lists of `width` slots, those of nodes
// `first` onwards, on `level`: fast when all are sound.
void check_lists(const std::uint32_t* slots, std::size_t lists, std::size_t width, std::uint64_t nodes,
                 std::uint64_t first, int level);

// Whether no value is an infinity or NaN: its exponent bits are not all set.
template <class T>
bool all_finite(const T* values, std::size_t count) noexcept {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits exponent = static_cast<Bits>(sizeof(T) == 4 ? 0x7F800000ull : 0x7FF0000000000000ull);
  Bits bad = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Bits bits = std::bit_cast<Bits>(values[i]);
    bad |= static_cast<Bits>((bits & exponent) == exponent);
  }
  return bad == 0;
}

// `count` rows of `dim` values, the first of them row `first`: all finite,
// or CorruptIndex naming the first row that is not.
template <class T>
void check_finite_rows(const T* values, std::size_t count, std::size_t dim, std::uint64_t first);

// `count` rows of `stride` values, `dim` of them in use: those finite, the
// rest +0, or CorruptIndex naming the first row that breaks this.
template <class T>
void check_padded_rows(const T* values, std::size_t count, std::size_t dim, std::size_t stride,
                       std::uint64_t first);

}  // namespace hobrin::ann::format
