#include "hobrin_ann/format/section_reader.hpp"

#include <cstring>

#include "common/crc32c.hpp"
#include "common/fault.hpp"
#include "hobrin_ann/format/checks.hpp"

namespace hobrin::ann::format {
namespace {

// The four bytes of a tag, each shown as itself when printable, else as '?'.
std::string printable_tag(std::span<const std::byte> tag) {
  std::string shown;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(tag[i]);
    shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "?";
  }
  return shown;
}

}  // namespace

SectionReader::SectionReader(ByteSource& source, const char* tag)
    : source_(source), name_(std::string(tag, 4) + " section") {
  if (source.remaining() < kSectionHeaderBytes + kChecksumBytes) corrupt("the file ends before the " + name_);
  const auto header = source.take(kSectionHeaderBytes);
  crc_ = crc32c(header.data(), header.size());
  if (std::memcmp(header.data(), tag, 4) != 0)
    corrupt("expected the " + name_ + ", found '" + printable_tag(header) + "'");
  if (load_value<std::uint32_t>(header.data() + 4) != 0) corrupt(name_ + ": a reserved field is not zero");
  length_ = load_value<std::uint64_t>(header.data() + 8);
  if (length_ > source.remaining() - kChecksumBytes) {
    corrupt(name_ + ": its length (" + std::to_string(length_) + " bytes) runs past the end of the file");
  }
  left_ = length_;
}

void SectionReader::expect_length(std::uint64_t expected, const std::string& of_what) const {
  if (length_ != expected) {
    corrupt(name_ + " holds " + std::to_string(length_) + " bytes, expected " + std::to_string(expected) +
            " for " + of_what);
  }
}

std::span<const std::byte> SectionReader::take(std::size_t count) {
  check_invariant(count <= left_, "an index file section was read past its length");
  const auto piece = source_.take(count);
  crc_ = crc32c(piece.data(), piece.size(), crc_);
  left_ -= count;
  return piece;
}

void SectionReader::finish() {
  check_invariant(left_ == 0, "an index file section was not read to its end");
  std::byte stored[kChecksumBytes];
  source_.take_into(stored, kChecksumBytes);
  if (load_value<std::uint32_t>(stored) != crc_) corrupt(name_ + ": checksum mismatch");
}

}  // namespace hobrin::ann::format
