// CRC-32C: the published check values, and the table-driven loop against the
// CPU instruction on lengths and alignments around its eight-byte steps and
// the stretches it runs as three streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/crc32c.hpp"

namespace hobrin {
namespace {

struct Known {
  std::string data;
  std::uint32_t crc;
};

class Crc32cKnown : public ::testing::TestWithParam<Known> {};

TEST_P(Crc32cKnown, MatchesTheCheckValue) {
  const Known& c = GetParam();
  EXPECT_EQ(crc32c(c.data.data(), c.data.size()), c.crc);
  EXPECT_EQ(detail::crc32c_portable(c.data.data(), c.data.size(), 0), c.crc);
  if (auto hardware = detail::crc32c_hardware()) {
    EXPECT_EQ(hardware(c.data.data(), c.data.size(), 0), c.crc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Crc32cKnown,
    ::testing::Values(Known{"", 0x00000000u}, Known{"a", 0xC1D04330u}, Known{"123456789", 0xE3069283u},
                      Known{std::string(32, '\0'), 0x8A9136AAu}, Known{std::string(32, '\xFF'), 0x62A8AB43u},
                      Known{"The quick brown fox jumps over the lazy dog", 0x22620404u}));

TEST(Crc32c, PortableAndHardwareAgreeAndContinue) {
  std::mt19937 rng(5);
  std::vector<unsigned char> bytes(40000);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  const auto hardware = detail::crc32c_hardware();
  for (std::size_t offset = 0; offset < 9; ++offset) {
    for (std::size_t size :
         {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 500u, 12287u, 12288u, 12289u, 39000u}) {
      const unsigned char* p = bytes.data() + offset;
      const std::uint32_t whole = detail::crc32c_portable(p, size, 0);
      if (hardware) {
        EXPECT_EQ(hardware(p, size, 0), whole) << offset << " " << size;
      }
      for (std::size_t cut : {std::size_t{0}, size / 3, size}) {
        EXPECT_EQ(crc32c(p + cut, size - cut, crc32c(p, cut)), whole) << offset << " " << size << " " << cut;
      }
    }
  }
}

}  // namespace
}  // namespace hobrin
