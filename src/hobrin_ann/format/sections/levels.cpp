#include <algorithm>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

void write_levels(const LinkGraph& graph, ByteSink& sink) {
  const std::size_t nodes = graph.size();
  std::vector<std::uint8_t> levels(nodes);
  for (std::size_t node = 0; node < nodes; ++node)
    levels[node] = static_cast<std::uint8_t>(graph.level(static_cast<std::uint32_t>(node)));
  SectionWriter section(sink, "LEVL", nodes);
  section.put(levels.data(), nodes);
  section.end();
}

std::vector<std::uint8_t> read_levels(ByteSource& source, const FileHeader& header) {
  const std::uint64_t nodes = header.nodes;
  std::vector<std::uint8_t> levels(nodes);
  SectionReader section(source, "LEVL");
  section.expect_length(nodes, std::to_string(nodes) + " nodes");
  std::uint64_t upper_lists = 0;
  int top = -1;
  section.read_records(1, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto level = static_cast<std::uint8_t>(bytes[i]);
      if (level > kMaxLevel) {
        corrupt("node " + std::to_string(first + i) + " has level " + std::to_string(level) + ", above " +
                std::to_string(kMaxLevel));
      }
      levels[first + i] = level;
      upper_lists += level;
      top = std::max<int>(top, level);
    }
  });
  section.finish();
  if (upper_lists != header.upper_lists) corrupt("the levels do not add up to the upper-layer list count");
  // Removed nodes may stand above the entry point: a removal moves it to the
  // highest live node.
  if (top < header.top_level) corrupt("the top level is above the highest level of a node");
  if (header.entry_point != kNoNode && levels[header.entry_point] != header.top_level)
    corrupt("the entry point is not on the top level");
  return levels;
}

}  // namespace hobrin::ann::format
