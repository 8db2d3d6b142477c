#pragma once
// External ids (non-negative 64-bit integers) to nodes: an open-addressing
// table with linear probing, kept at most half full. Index files hold the
// table as it is in memory, so that a mapped file's table serves in place.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hobrin::ann {

class LabelMap {
 public:
  std::size_t size() const noexcept { return size_; }
  // The node of `label`; nothing when it is absent (as every negative label is).
  std::optional<std::uint32_t> find(std::int64_t label) const noexcept;
  // Starts fetching the slot where find(label) looks first: a long list of
  // lookups then waits for memory a few at a time rather than one by one.
  void prefetch(std::int64_t label) const noexcept {
    if (base_ != nullptr) __builtin_prefetch(base_ + home(label));
  }

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

  // One slot as it lies in memory and in index files: 16 bytes, the label
  // (kEmpty in an empty slot, whose node is 0) then the node, then zeros.
  struct Slot {
    std::int64_t label = kEmpty;
    std::uint32_t node = 0;
    std::uint32_t zero = 0;
  };
  static constexpr std::int64_t kEmpty = -1;
  std::span<const Slot> slots() const noexcept { return {base_, mask_ + (base_ != nullptr)}; }
  // The slot where `label` is looked up first, in a table of `slots` slots.
  static std::size_t home(std::int64_t label, std::size_t slots) noexcept;
  // Uses `count` slots that lie at `slots` (a power of two of them, checked
  // by the caller to hold `size` labels as this table would) in place of its
  // own; they must outlive the map, which is then read-only. Lookups then
  // return only nodes below `nodes`, and probe at most the whole table, even
  // if the slots change afterwards.
  void view(const Slot* slots, std::size_t count, std::size_t size, std::uint32_t nodes) noexcept;
  // Takes `slots` (checked likewise) as its own.
  void adopt(std::vector<Slot> slots, std::size_t size) noexcept;
  // bytes() once `count` labels were reserved in one call; SIZE_MAX if no
  // table can hold them.
  static std::size_t table_bytes(std::size_t count) noexcept;

 private:
  std::size_t home(std::int64_t label) const noexcept { return home(label, mask_ + 1); }
  void place(Slot slot) noexcept;
  void point_at_own() noexcept {
    base_ = slots_.empty() ? nullptr : slots_.data();
    mask_ = slots_.empty() ? 0 : slots_.size() - 1;
  }

  std::vector<Slot> slots_;  // a power of two in size, or empty
  const Slot* base_ = nullptr;  // slots_, or the slots viewed
  std::size_t mask_ = 0;        // slots - 1, when there are slots
  std::size_t size_ = 0;
  static constexpr std::uint32_t kAnyNode = UINT32_MAX;
  std::uint32_t node_limit_ = kAnyNode;  // nodes found are below it (a viewed table's node count)
};

}  // namespace hobrin::ann
