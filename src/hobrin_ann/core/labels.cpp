#include "hobrin_ann/core/labels.hpp"

#include <algorithm>
#include <bit>
#include <new>

namespace hobrin::ann {
namespace {

// Slots for `count` labels: a power of two, at most half full.
std::size_t table_slots(std::size_t count) noexcept {
  return std::bit_ceil(std::max<std::size_t>(2 * count, 16));
}

}  // namespace

std::size_t LabelMap::home(std::int64_t label, std::size_t slots) noexcept {
  // Fibonacci hashing spreads sequential ids over the whole table.
  const std::uint64_t mixed = static_cast<std::uint64_t>(label) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(mixed >> (64 - std::countr_zero(slots)));
}

std::optional<std::uint32_t> LabelMap::find(std::int64_t label) const noexcept {
  // A negative label would match the empty slots' mark.
  if (label < 0 || base_ == nullptr) return std::nullopt;
  // At most one pass over the table, and only nodes that exist: a viewed
  // table lies in a file that may have been changed since it was checked.
  std::size_t at = home(label);
  for (std::size_t probes = 0; probes <= mask_; ++probes, at = (at + 1) & mask_) {
    if (base_[at].label == label) {
      if (base_[at].node >= node_limit_) return std::nullopt;
      return base_[at].node;
    }
    if (base_[at].label == kEmpty) return std::nullopt;
  }
  return std::nullopt;
}

void LabelMap::view(const Slot* slots, std::size_t count, std::size_t size, std::uint32_t nodes) noexcept {
  slots_ = {};
  base_ = count == 0 ? nullptr : slots;
  mask_ = count == 0 ? 0 : count - 1;
  size_ = size;
  node_limit_ = nodes;
}

void LabelMap::adopt(std::vector<Slot> slots, std::size_t size) noexcept {
  slots_ = std::move(slots);
  size_ = size;
  node_limit_ = kAnyNode;
  point_at_own();
}

void LabelMap::place(Slot slot) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = home(slot.label);
  while (slots_[at].label != kEmpty) at = (at + 1) & mask;
  slots_[at] = slot;
}

void LabelMap::reserve(std::size_t count) {
  if (count > (SIZE_MAX / sizeof(Slot)) / 4) throw std::bad_alloc();
  const std::size_t wanted = table_slots(count);
  if (wanted <= mask_ + (base_ != nullptr) && !slots_.empty()) return;
  // Grow by doubling at least, so many small reservations stay cheap. A
  // viewed table is copied into one of its own.
  node_limit_ = kAnyNode;
  const std::span<const Slot> old_slots = slots();
  std::vector<Slot> grown(std::max(wanted, 2 * old_slots.size()));
  std::vector<Slot> old = std::move(slots_);
  slots_ = std::move(grown);
  point_at_own();
  for (const Slot& slot : old_slots) {
    if (slot.label != kEmpty) place(slot);
  }
}

std::size_t LabelMap::table_bytes(std::size_t count) noexcept {
  if (count > (SIZE_MAX / sizeof(Slot)) / 4) return SIZE_MAX;
  return table_slots(count) * sizeof(Slot);
}

void LabelMap::insert(std::int64_t label, std::uint32_t node) noexcept {
  place({label, node});
  ++size_;
}

std::optional<std::uint32_t> LabelMap::insert_new(std::int64_t label, std::uint32_t node) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = home(label);
  for (; slots_[at].label != kEmpty; at = (at + 1) & mask) {
    if (slots_[at].label == label) return slots_[at].node;
  }
  slots_[at] = {label, node};
  ++size_;
  return std::nullopt;
}

void LabelMap::erase(std::int64_t label) noexcept {
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = home(label);
  while (slots_[at].label != label) {
    if (slots_[at].label == kEmpty) return;
    at = (at + 1) & mask;
  }
  // Backward-shift deletion: move later entries of the same probe run into
  // the hole so that no lookup stops early.
  for (std::size_t next = (at + 1) & mask; slots_[next].label != kEmpty; next = (next + 1) & mask) {
    const std::size_t wanted = home(slots_[next].label);
    const bool between = at <= next ? (wanted > at && wanted <= next) : (wanted > at || wanted <= next);
    if (between) continue;
    slots_[at] = slots_[next];
    at = next;
  }
  slots_[at] = Slot{};
  --size_;
}

}  // namespace hobrin::ann
