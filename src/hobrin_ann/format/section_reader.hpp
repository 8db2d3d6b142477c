#pragma once
// Reads one section: checks its header against the tag expected and the bytes
// left, hands out its payload, and at the end compares the checksum.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/format/layout.hpp"

namespace hobrin::ann::format {

class SectionReader {
 public:
  SectionReader(ByteSource& source, const char* tag);

  // "<TAG> section", the name that messages use.
  const std::string& name() const noexcept { return name_; }
  std::uint64_t length() const noexcept { return length_; }

  // CorruptIndex unless the payload is `expected` bytes long, as `of_what` needs.
  void expect_length(std::uint64_t expected, const std::string& of_what) const;

  // The next `count` bytes of the payload, valid until the next call.
  std::span<const std::byte> take(std::size_t count);

  // Hands the payload to `consume(records, count, first)` in chunks of whole
  // records of `record_bytes` each, `total` records in all.
  template <class Consume>
  void read_records(std::size_t record_bytes, std::uint64_t total, Consume&& consume) {
    const std::size_t per_chunk =
        std::max<std::size_t>(1, kChunkBytes / std::max<std::size_t>(record_bytes, 1));
    for (std::uint64_t first = 0; first < total;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, total - first));
      const auto piece = take(count * record_bytes);
      consume(piece.data(), count, first);
      first += count;
    }
  }

  // The next `count` bytes of the payload where they lie in a mapped file,
  // or null (and nothing taken) when the source is not mapped. Unless
  // `checksum`, the section's checksum is then not compared.
  const std::byte* take_in_place(std::size_t count, bool checksum);

  // Where the source is mapped: hands the next `total` records of
  // `record_bytes` each, where they lie, to `consume(records, count, first)`
  // in chunks that stay in cache while the checksum (if `checksum`) runs
  // over them, and returns where the first lies. Null, and nothing taken,
  // when the source is not mapped.
  template <class Consume>
  const std::byte* view_records(std::size_t record_bytes, std::uint64_t total, bool checksum,
                                Consume&& consume) {
    const std::byte* start = take_in_place(0, checksum);
    if (start == nullptr) return nullptr;
    const std::size_t per_chunk =
        std::max<std::size_t>(1, kChunkBytes / std::max<std::size_t>(record_bytes, 1));
    for (std::uint64_t first = 0; first < total;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, total - first));
      consume(take_in_place(count * record_bytes, checksum), count, first);
      first += count;
    }
    return start;
  }

  // Once the whole payload is taken: CorruptIndex unless the checksum matches
  // and the padding after it is zeros.
  void finish();

 private:
  ByteSource& source_;
  std::string name_;
  std::uint64_t length_ = 0;
  std::uint64_t left_ = 0;
  std::uint32_t crc_ = 0;
  bool unchecked_ = false;  // a payload was taken without its checksum
};

}  // namespace hobrin::ann::format
