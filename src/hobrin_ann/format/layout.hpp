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
// Version 2 aligns: the preamble and every section header fill 64 bytes,
// every section is padded with zeros to a multiple of 64, so each payload
// starts on a 64-byte boundary and rows can be used where they lie in a
// mapped file. Version 1 packed everything; it is still read. Version 3
// adds the codes that the graph walk reads (CODE, after the rows), which may
// then stand alone (no rows stored). Version 4 adds how the codes are
// scaled (CSCL, after CODE): per row, with each row's scalars.
inline constexpr std::uint32_t kVersion = 4;
inline constexpr std::uint32_t kCodesVersion = 3;
inline constexpr std::uint32_t kScalarsVersion = 4;
inline constexpr std::uint32_t kPackedVersion = 1;
inline constexpr std::size_t kAlignment = 64;
inline constexpr std::size_t kPreambleBytes = 16;  // what every version starts with
inline constexpr std::size_t kChecksumBytes = 4;

// The bytes of the preamble and of a section header in `version`.
constexpr std::size_t preamble_bytes(std::uint32_t version) noexcept {
  return version == kPackedVersion ? kPreambleBytes : kAlignment;
}
constexpr std::size_t section_header_bytes(std::uint32_t version) noexcept {
  return version == kPackedVersion ? 16 : kAlignment;
}
// Zeros after a section of `length` payload bytes, up to the next boundary.
constexpr std::size_t section_padding(std::uint32_t version, std::uint64_t length) noexcept {
  if (version == kPackedVersion) return 0;
  return static_cast<std::size_t>((kAlignment - (length + kChecksumBytes) % kAlignment) % kAlignment);
}
inline constexpr std::size_t kSectionCount = 7;  // after the preamble and the parameters
inline constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // what the reader takes at a time
inline constexpr std::uint64_t kMaxCount = std::uint64_t{1} << 63;  // counts and ids stay below this

// The parameters' flags.
inline constexpr std::uint8_t kSeedGiven = 1, kHasSchema = 2, kCodesOnly = 4;
// The kinds of a metadata value: a list holds values of the first three.
enum : std::uint8_t { kString = 0, kInt = 1, kFloat = 2, kList = 3 };

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
