#pragma once
// CRC-32C (Castagnoli polynomial, reflected: 0x82F63B78), the checksum of the
// index file's sections. The SSE4.2 instruction computes it where the CPU has
// one; elsewhere a table-driven loop takes eight bytes a step. Both give the
// same value.
#include <cstddef>
#include <cstdint>

namespace hobrin {

// The checksum of `size` bytes, continuing from `crc` (the checksum of what
// came before them; 0 for none): crc32c(b, crc32c(a)) == crc32c(a followed by b).
std::uint32_t crc32c(const void* data, std::size_t size, std::uint32_t crc = 0) noexcept;

namespace detail {
// The two ways of computing it, for tests that compare them.
std::uint32_t crc32c_portable(const void* data, std::size_t size, std::uint32_t crc) noexcept;
// Null when the CPU has no CRC32 instruction.
using Crc32cFunction = std::uint32_t (*)(const void*, std::size_t, std::uint32_t) noexcept;
Crc32cFunction crc32c_hardware() noexcept;
}  // namespace detail

}  // namespace hobrin
