// The sources the reader takes bytes from, and the memory they hand out.
#include <algorithm>
#include <cstring>

#include "common/fault.hpp"
#include "hobrin_ann/format/index_file.hpp"

namespace hobrin::ann {

std::byte* ReadBuffer::room(std::size_t size) {
  if (size > capacity_) {
    const std::size_t grown = std::max(size, capacity_ + capacity_ / 2);
    data_.reset(static_cast<std::byte*>(::operator new[](grown, std::align_val_t{64})));
    capacity_ = grown;
  }
  return data_.get();
}

std::span<const std::byte> ByteSource::take(std::size_t count) {
  check_invariant(count <= remaining(), "an index file was read past its end");
  std::byte* out = buffer_.room(std::max<std::size_t>(count, 1));
  read_at(position_, out, count);
  position_ += count;
  return {out, count};
}

void ByteSource::take_into(std::byte* out, std::size_t count) {
  check_invariant(count <= remaining(), "an index file was read past its end");
  read_at(position_, out, count);
  position_ += count;
}

const std::byte* ByteSource::take_in_place(std::size_t count) {
  check_invariant(count <= remaining(), "an index file was read past its end");
  const std::byte* bytes = in_place(position_, count);
  if (bytes != nullptr) position_ += count;
  return bytes;
}

void MemorySource::read_at(std::uint64_t position, std::byte* out, std::size_t count) {
  if (count != 0) std::memcpy(out, bytes_.data() + position, count);
}

}  // namespace hobrin::ann
