#pragma once
// The fixed facts of the index file (docs/index-format.md) that both the
// writer and the reader use, and the little-endian packing of single values.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace hobrin::ann::format {

// Arrays go to and come from the file as they are in memory.
static_assert(std::endian::native == std::endian::little, "the index file is little-endian");

inline constexpr char kMagic[8] = {'\x89', 'H', 'O', 'B', 'R', 'I', 'N', '\n'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kPreambleBytes = 16;
inline constexpr std::size_t kSectionHeaderBytes = 16;
inline constexpr std::size_t kChecksumBytes = 4;
inline constexpr std::size_t kSectionCount = 7;  // after the preamble and the parameters
inline constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // what the reader takes at a time
inline constexpr std::uint64_t kMaxCount = std::uint64_t{1} << 63;  // counts and ids stay below this

// The parameters' flags.
inline constexpr std::uint8_t kSeedGiven = 1, kHasSchema = 2;
// The kinds of a metadata value.
enum : std::uint8_t { kString = 0, kInt = 1, kFloat = 2 };

template <class V>
void append_value(std::string& out, V value) {
  char bytes[sizeof(V)];
  std::memcpy(bytes, &value, sizeof(V));
  out.append(bytes, sizeof(V));
}

template <class V>
V load_value(const std::byte* p) noexcept {
  V value;
  std::memcpy(&value, p, sizeof(V));
  return value;
}

}  // namespace hobrin::ann::format
