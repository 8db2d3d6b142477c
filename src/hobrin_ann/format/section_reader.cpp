#include "hobrin_ann/format/section_reader.hpp"

#include <algorithm>
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
  const std::size_t header_bytes = section_header_bytes(source.version());
  if (source.remaining() < header_bytes + kChecksumBytes) corrupt("the file ends before the " + name_);
  const auto header = source.take(header_bytes);
  crc_ = crc32c(header.data(), header.size());
  if (std::memcmp(header.data(), tag, 4) != 0)
    corrupt("expected the " + name_ + ", found '" + printable_tag(header) + "'");
  const bool reserved_zero =
      load_value<std::uint32_t>(header.data() + 4) == 0 &&
      std::all_of(header.begin() + 16, header.end(), [](std::byte b) { return b == std::byte{0}; });
  if (!reserved_zero) corrupt(name_ + ": a reserved field is not zero");
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

const std::byte* SectionReader::take_in_place(std::size_t count, bool checksum) {
  check_invariant(count <= left_, "an index file section was read past its length");
  const std::byte* bytes = source_.take_in_place(count);
  if (bytes == nullptr) return nullptr;
  if (checksum) {
    crc_ = crc32c(bytes, count, crc_);
  } else {
    unchecked_ = true;
  }
  left_ -= count;
  return bytes;
}

void SectionReader::finish() {
  check_invariant(left_ == 0, "an index file section was not read to its end");
  std::byte stored[kChecksumBytes];
  source_.take_into(stored, kChecksumBytes);
  if (!unchecked_ && load_value<std::uint32_t>(stored) != crc_) corrupt(name_ + ": checksum mismatch");
  const std::size_t padding = section_padding(source_.version(), length_);
  if (padding > source_.remaining()) corrupt("the file ends inside the padding after the " + name_);
  std::byte zeros[kAlignment] = {};  // taken aside, so that what take() handed out stays valid
  source_.take_into(zeros, padding);
  if (!std::all_of(zeros, zeros + padding, [](std::byte b) { return b == std::byte{0}; }))
    corrupt("the padding after the " + name_ + " is not zeros");
}

}  // namespace hobrin::ann::format
