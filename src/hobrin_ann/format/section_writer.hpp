#pragma once
// Writes one section in the current version's framing: its header (tag,
// reserved word, length, zeros to 64 bytes), the payload in pieces, the
// CRC-32C of both, then zeros up to the next 64-byte boundary.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hobrin_ann/format/index_file.hpp"

namespace hobrin::ann::format {

class SectionWriter {
 public:
  // `length` is the payload's length, which must be what is put.
  SectionWriter(ByteSink& sink, const char* tag, std::uint64_t length);
  void put(const void* data, std::size_t size);
  void end();

 private:
  ByteSink& sink_;
  std::uint64_t length_;
  std::uint64_t written_ = 0;
  std::uint32_t crc_ = 0;
};

// A whole section whose payload is in memory.
void write_section(ByteSink& sink, const char* tag, const std::string& payload);

}  // namespace hobrin::ann::format
