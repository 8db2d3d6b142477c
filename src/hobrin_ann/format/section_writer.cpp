#include "hobrin_ann/format/section_writer.hpp"

#include "common/crc32c.hpp"
#include "common/fault.hpp"
#include "hobrin_ann/format/layout.hpp"

namespace hobrin::ann::format {

SectionWriter::SectionWriter(ByteSink& sink, const char* tag, std::uint64_t length)
    : sink_(sink), length_(length) {
  std::string header(tag, 4);
  append_value<std::uint32_t>(header, 0);
  append_value<std::uint64_t>(header, length);
  header.resize(section_header_bytes(kVersion), '\0');
  put(header.data(), header.size());
  written_ = 0;  // the header is not part of the payload
}

void SectionWriter::put(const void* data, std::size_t size) {
  if (size == 0) return;
  crc_ = crc32c(data, size, crc_);
  sink_.write(data, size);
  written_ += size;
}

void SectionWriter::end() {
  check_invariant(written_ == length_, "an index file section's length differs from what was written");
  std::string checksum;
  append_value<std::uint32_t>(checksum, crc_);
  checksum.resize(kChecksumBytes + section_padding(kVersion, length_), '\0');
  sink_.write(checksum.data(), checksum.size());
}

void write_section(ByteSink& sink, const char* tag, const std::string& payload) {
  SectionWriter section(sink, tag, payload.size());
  section.put(payload.data(), payload.size());
  section.end();
}

}  // namespace hobrin::ann::format
