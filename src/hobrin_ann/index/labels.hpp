#pragma once
// External ids (non-negative 64-bit integers) to nodes: an open-addressing
// table with linear probing, kept at most half full.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hobrin::ann {

class LabelMap {
 public:
  std::size_t size() const noexcept { return size_; }
  // The node of `label`; nothing when it is absent (as every negative label is).
  std::optional<std::uint32_t> find(std::int64_t label) const noexcept;

  // Room for `count` labels in all; throws std::bad_alloc and keeps the contents.
  void reserve(std::size_t count);
  // Adds a label not yet present, within the reserved room.
  void insert(std::int64_t label, std::uint32_t node) noexcept;
  // Adds a non-negative label within the reserved room, in one probe, unless
  // it is present: then nothing changes and its node comes back.
  std::optional<std::uint32_t> insert_new(std::int64_t label, std::uint32_t node) noexcept;
  // Removes a label if present.
  void erase(std::int64_t label) noexcept;

  std::size_t bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }
  // bytes() once `count` labels were reserved in one call; SIZE_MAX if no
  // table can hold them.
  static std::size_t table_bytes(std::size_t count) noexcept;

 private:
  static constexpr std::int64_t kEmpty = -1;
  struct Slot {
    std::int64_t label = kEmpty;
    std::uint32_t node = 0;
  };
  std::size_t home(std::int64_t label) const noexcept;
  void place(Slot slot) noexcept;

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t size_ = 0;
};

}  // namespace hobrin::ann
