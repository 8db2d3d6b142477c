// IDMP (version 2): the table from ids to nodes as it is in memory, so that
// opening a file checks it in one pass instead of building it id by id, and
// a mapped file's table serves in place.
#include <bit>
#include <cstring>
#include <vector>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

using Slot = LabelMap::Slot;

// The table holds each live node's id exactly once, where a lookup finds it:
// every slot from the id's home to its own is taken by another id. That,
// with the count, is all a lookup relies on.
template <class Store>
void check_table(std::span<const Slot> slots, const IndexCore<Store>& core, std::uint64_t live) {
  const std::size_t mask = slots.size() - 1;
  std::vector<std::uint8_t> seen(core.labels.size(), 0);
  std::uint64_t taken = 0;
  for (std::size_t at = 0; at < slots.size(); ++at) {
    const Slot& slot = slots[at];
    if (slot.zero != 0) corrupt("IDMP section: slot " + std::to_string(at) + " has a reserved field set");
    if (slot.label == LabelMap::kEmpty) {
      if (slot.node != 0) corrupt("IDMP section: the empty slot " + std::to_string(at) + " names a node");
      continue;
    }
    const std::uint32_t node = slot.node;
    if (node >= core.labels.size() || core.is_removed(node) || core.labels[node] != slot.label || seen[node])
      corrupt("IDMP section: slot " + std::to_string(at) + " does not hold a live node's id once");
    seen[node] = 1;
    ++taken;
    for (std::size_t probe = LabelMap::home(slot.label, slots.size()); probe != at;
         probe = (probe + 1) & mask) {
      if (slots[probe].label == LabelMap::kEmpty || slots[probe].label == slot.label)
        corrupt("IDMP section: id " + std::to_string(slot.label) + " is not where a lookup finds it");
    }
  }
  if (taken != live)
    corrupt("IDMP section holds " + std::to_string(taken) + " ids, expected " + std::to_string(live));
}

}  // namespace

void write_id_table(const LabelMap& ids, ByteSink& sink) {
  const auto slots = ids.slots();
  SectionWriter section(sink, "IDMP", sizeof(std::uint64_t) + slots.size_bytes());
  const std::uint64_t count = slots.size();
  section.put(&count, sizeof(count));
  section.put(slots.data(), slots.size_bytes());
  section.end();
}

template <class Store>
bool read_id_table(ByteSource& source, const FileHeader& header, IndexCore<Store>& core, bool map) {
  SectionReader section(source, "IDMP");
  if (section.length() < sizeof(std::uint64_t))
    section.expect_length(sizeof(std::uint64_t), "its slot count");
  const auto count = load_value<std::uint64_t>(section.take(sizeof(std::uint64_t)).data());
  const std::uint64_t live = header.nodes - header.removed;
  if (count == 0 ? live != 0 : (!std::has_single_bit(count) || count < 16 || count / 2 < live))
    corrupt("IDMP section: " + std::to_string(count) + " slots cannot hold " + std::to_string(live) + " ids");
  section.expect_length(sizeof(std::uint64_t) + checked_product(count, sizeof(Slot), section.name()),
                        std::to_string(count) + " slots");
  const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Slot);
  const std::byte* in_place = map ? section.take_in_place(bytes, true) : nullptr;
  std::vector<Slot> own;
  if (in_place == nullptr) {
    own.resize(static_cast<std::size_t>(count));
    section.read_records(sizeof(Slot), count, [&](const std::byte* from, std::size_t n, std::uint64_t first) {
      std::memcpy(own.data() + first, from, n * sizeof(Slot));
    });
  }
  section.finish();
  const std::span<const Slot> slots =
      in_place ? std::span(reinterpret_cast<const Slot*>(in_place), static_cast<std::size_t>(count))
               : std::span<const Slot>(own);
  check_table(slots, core, live);
  if (in_place) {
    core.nodes_by_label.view(slots.data(), slots.size(), live, static_cast<std::uint32_t>(header.nodes));
  } else {
    core.nodes_by_label.adopt(std::move(own), live);
  }
  return in_place != nullptr;
}

#define HOBRIN_ANN_INSTANTIATE(Store) \
  template bool read_id_table(ByteSource&, const FileHeader&, IndexCore<Store>&, bool);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann::format
