#pragma once
// Reads values from a payload held in memory, never past its end.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "hobrin_ann/format/layout.hpp"

namespace hobrin::ann::format {

class Cursor {
 public:
  // `what` names the payload in messages ("PARM section", ...).
  Cursor(std::span<const std::byte> bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

  template <class V>
  V next() {
    need(sizeof(V));
    const V value = load_value<V>(bytes_.data() + at_);
    at_ += sizeof(V);
    return value;
  }
  // The next `size` bytes, valid as long as the payload is.
  std::string_view text(std::size_t size);
  std::size_t left() const noexcept { return bytes_.size() - at_; }
  // CorruptIndex unless at least `size` bytes are left.
  void need(std::uint64_t size) const {
    if (size > left()) ends_early();
  }
  // CorruptIndex unless every byte was read.
  void expect_end() const;

 private:
  [[noreturn]] void ends_early() const;
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
  std::string what_;
};

}  // namespace hobrin::ann::format
