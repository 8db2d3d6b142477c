#include "hobrin_ann/index/labels.hpp"

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

std::size_t LabelMap::home(std::int64_t label) const noexcept {
  // Fibonacci hashing spreads sequential ids over the whole table.
  const std::uint64_t mixed = static_cast<std::uint64_t>(label) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(mixed >> (64 - std::countr_zero(slots_.size())));
}

std::optional<std::uint32_t> LabelMap::find(std::int64_t label) const noexcept {
  // A negative label would match the empty slots' mark.
  if (label < 0 || slots_.empty()) return std::nullopt;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = home(label);; at = (at + 1) & mask) {
    if (slots_[at].label == label) return slots_[at].node;
    if (slots_[at].label == kEmpty) return std::nullopt;
  }
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
  if (wanted <= slots_.size()) return;
  // Grow by doubling at least, so many small reservations stay cheap.
  std::vector<Slot> old(std::max(wanted, 2 * slots_.size()));
  old.swap(slots_);
  for (const Slot& slot : old) {
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
