#include <algorithm>
#include <cstring>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

// Puts node's list on `level` with its empty slots, as stored; `slots` has
// room for the longest list.
void put_list(SectionWriter& section, const LinkGraph& graph, std::uint32_t node, int level,
              std::vector<std::uint32_t>& slots) {
  const auto links = graph.links(node, level);
  const std::size_t width = graph.max_links(level);
  std::copy(links.begin(), links.end(), slots.begin());
  std::fill(slots.begin() + static_cast<std::ptrdiff_t>(links.size()),
            slots.begin() + static_cast<std::ptrdiff_t>(width), kNoNode);
  section.put(slots.data(), width * sizeof(std::uint32_t));
}

// Copies one list into its slots, then checks them.
void read_list(std::span<std::uint32_t> slots, const std::byte* from, std::uint64_t nodes, std::uint64_t node,
               int level) {
  std::memcpy(slots.data(), from, slots.size_bytes());
  check_list(slots, nodes, node, level);
}

// The lists where they lie in a mapped file, each checked; null when the
// source is not mapped. Taken in chunks that stay in cache while the
// checksum and the checks run over them.
const std::uint32_t* view_layer0(SectionReader& section, std::uint64_t nodes, std::size_t m) {
  const std::size_t list_bytes = 2 * m * sizeof(std::uint32_t);
  const std::byte* lists = section.take_in_place(0, true);
  if (lists == nullptr) return nullptr;
  const std::size_t per_chunk = std::max<std::size_t>(1, kChunkBytes / list_bytes);
  for (std::uint64_t first = 0; first < nodes;) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, nodes - first));
    const auto* chunk =
        reinterpret_cast<const std::uint32_t*>(section.take_in_place(count * list_bytes, true));
    check_lists(chunk, count, 2 * m, nodes, first, 0);
    first += count;
  }
  return reinterpret_cast<const std::uint32_t*>(lists);
}

// Reads the layer-0 lists into the graph's own slots, or with `map` views
// them in place; `levels` lays out the graph. Returns whether it viewed.
bool read_layer0(ByteSource& source, std::uint64_t nodes, const FileHeader& header,
                 std::span<const std::uint8_t> levels, LinkGraph& graph, bool map) {
  const std::size_t m = graph.m();
  SectionReader section(source, "LNK0");
  const std::size_t list_bytes = 2 * m * sizeof(std::uint32_t);
  section.expect_length(nodes * list_bytes, std::to_string(nodes) + " nodes with m " + std::to_string(m));
  const std::uint32_t* viewed =
      map && source.version() != kPackedVersion ? view_layer0(section, nodes, m) : nullptr;
  if (viewed != nullptr) graph.view_layer0(viewed);
  graph.reserve(header.nodes, header.upper_lists);
  for (const std::uint8_t level : levels) graph.append(level);
  if (viewed == nullptr) {
    section.read_records(
        list_bytes, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
          std::uint32_t* slots = graph.slots(static_cast<std::uint32_t>(first), 0).data();
          std::memcpy(slots, bytes, count * list_bytes);  // lists of consecutive nodes lie side by side
          check_lists(slots, count, 2 * m, nodes, first, 0);
        });
  }
  section.finish();
  return viewed != nullptr;
}

void read_upper(ByteSource& source, const FileHeader& header, std::span<const std::uint8_t> levels,
                LinkGraph& graph) {
  const std::size_t m = graph.m();
  SectionReader section(source, "LNKU");
  const std::size_t list_bytes = m * sizeof(std::uint32_t);
  section.expect_length(
      header.upper_lists * list_bytes,
      std::to_string(header.upper_lists) + " upper-layer lists with m " + std::to_string(m));
  // Lists run node by node, layer 1 upwards; a chunk may end inside a node's run.
  std::uint32_t node = 0;
  int level = 0;
  auto advance = [&] {
    while (level >= levels[node]) {
      ++node;
      level = 0;
    }
    ++level;
  };
  section.read_records(
      list_bytes, header.upper_lists, [&](const std::byte* bytes, std::size_t count, std::uint64_t) {
        for (std::size_t i = 0; i < count; ++i) {
          advance();  // never past the last node: the levels add up to the list count
          const auto slots = graph.slots(node, level);
          read_list(slots, bytes + i * list_bytes, header.nodes, node, level);
          for (const std::uint32_t target : slots) {
            if (target != kNoNode && levels[target] < level) {
              corrupt("node " + std::to_string(node) + " links on layer " + std::to_string(level) +
                      " to node " + std::to_string(target) + ", which is not on that layer");
            }
          }
        }
      });
  section.finish();
}

}  // namespace

void write_links(const LinkGraph& graph, ByteSink& sink) {
  const std::size_t nodes = graph.size();
  const std::size_t m = graph.m();
  std::vector<std::uint32_t> slots(2 * m);
  SectionWriter layer0(sink, "LNK0", std::uint64_t{nodes} * 2 * m * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes; ++node)
    put_list(layer0, graph, static_cast<std::uint32_t>(node), 0, slots);
  layer0.end();
  SectionWriter upper(sink, "LNKU", std::uint64_t{graph.upper_lists()} * m * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes; ++node) {
    const int top = graph.level(static_cast<std::uint32_t>(node));
    for (int level = 1; level <= top; ++level)
      put_list(upper, graph, static_cast<std::uint32_t>(node), level, slots);
  }
  upper.end();
}

bool read_links(ByteSource& source, const FileHeader& header, std::span<const std::uint8_t> levels,
                LinkGraph& graph, bool map) {
  const bool viewed = read_layer0(source, header.nodes, header, levels, graph, map);
  read_upper(source, header, levels, graph);
  return viewed;
}

}  // namespace hobrin::ann::format
