#include "common/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define HOBRIN_CRC32C_X86 1
#endif

namespace hobrin {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;

// tables[0] is the classic byte-at-a-time table; tables[k][b] is the CRC of
// byte b followed by k zero bytes, so eight table lookups advance eight bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1u)));
    tables[0][b] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b)
      tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
  }
  return tables;
}

constexpr auto kTables = make_tables();

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

#ifdef HOBRIN_CRC32C_X86
// The register after `bytes` more zero bytes, as a function of the register
// before: linear over GF(2), so a 32x32 bit matrix, applied a byte at a time
// through four tables. Built once, by squaring the one-zero-bit step.
class ZeroShift {
 public:
  explicit ZeroShift(std::size_t bytes) {
    std::array<std::uint32_t, 32> result{}, step{};  // column i: the image of bit i
    for (int i = 0; i < 32; ++i) result[i] = 1u << i;
    step[0] = kPolynomial;
    for (int i = 1; i < 32; ++i) step[i] = 1u << (i - 1);
    for (std::size_t bits = bytes * 8; bits != 0; bits >>= 1) {
      if (bits & 1) result = compose(step, result);
      step = compose(step, step);
    }
    for (int k = 0; k < 4; ++k) {
      for (std::uint32_t b = 0; b < 256; ++b) tables_[k][b] = apply(result, b << (8 * k));
    }
  }
  std::uint32_t operator()(std::uint32_t x) const noexcept {
    return tables_[0][x & 0xFF] ^ tables_[1][(x >> 8) & 0xFF] ^ tables_[2][(x >> 16) & 0xFF] ^
           tables_[3][x >> 24];
  }

 private:
  using Matrix = std::array<std::uint32_t, 32>;
  static std::uint32_t apply(const Matrix& m, std::uint32_t x) noexcept {
    std::uint32_t out = 0;
    for (int i = 0; x != 0; ++i, x >>= 1) out ^= (x & 1) ? m[i] : 0;
    return out;
  }
  // first b, then a
  static Matrix compose(const Matrix& a, const Matrix& b) noexcept {
    Matrix out{};
    for (int i = 0; i < 32; ++i) out[i] = apply(a, b[i]);
    return out;
  }
  std::array<std::array<std::uint32_t, 256>, 4> tables_{};
};

// Three streams over three neighbouring stretches of kStretch bytes keep the
// instruction's pipeline full; their registers are joined by shifting.
constexpr std::size_t kStretch = 4096;

__attribute__((target("sse4.2"))) std::uint32_t crc32c_sse42(const void* data, std::size_t size,
                                                             std::uint32_t crc) noexcept {
  static const ZeroShift past_stretch(kStretch);
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t state = ~crc;
  for (; size >= 3 * kStretch; size -= 3 * kStretch, p += 3 * kStretch) {
    std::uint64_t a = state, b = 0, c = 0;
    for (std::size_t at = 0; at < kStretch; at += 8) {
      std::uint64_t x, y, z;  // little-endian on every x86
      std::memcpy(&x, p + at, 8);
      std::memcpy(&y, p + kStretch + at, 8);
      std::memcpy(&z, p + 2 * kStretch + at, 8);
      a = _mm_crc32_u64(a, x);
      b = _mm_crc32_u64(b, y);
      c = _mm_crc32_u64(c, z);
    }
    const auto joined =
        past_stretch(past_stretch(static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b));
    state = joined ^ static_cast<std::uint32_t>(c);
  }
  for (; size >= 8; size -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = _mm_crc32_u64(state, word);
  }
  auto narrow = static_cast<std::uint32_t>(state);
  for (; size > 0; --size, ++p) narrow = _mm_crc32_u8(narrow, *p);
  return ~narrow;
}
#endif

detail::Crc32cFunction choose() noexcept {
  if (auto hardware = detail::crc32c_hardware()) return hardware;
  return detail::crc32c_portable;
}

}  // namespace

namespace detail {

std::uint32_t crc32c_portable(const void* data, std::size_t size, std::uint32_t crc) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    const std::uint64_t word = load_le64(p) ^ crc;
    crc = kTables[7][word & 0xFF] ^ kTables[6][(word >> 8) & 0xFF] ^ kTables[5][(word >> 16) & 0xFF] ^
          kTables[4][(word >> 24) & 0xFF] ^ kTables[3][(word >> 32) & 0xFF] ^
          kTables[2][(word >> 40) & 0xFF] ^ kTables[1][(word >> 48) & 0xFF] ^ kTables[0][word >> 56];
  }
  for (; size > 0; --size, ++p) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

Crc32cFunction crc32c_hardware() noexcept {
#ifdef HOBRIN_CRC32C_X86
  if (__builtin_cpu_supports("sse4.2")) return crc32c_sse42;
#endif
  return nullptr;
}

}  // namespace detail

std::uint32_t crc32c(const void* data, std::size_t size, std::uint32_t crc) noexcept {
  static const detail::Crc32cFunction chosen = choose();
  return chosen(data, size, crc);
}

}  // namespace hobrin
