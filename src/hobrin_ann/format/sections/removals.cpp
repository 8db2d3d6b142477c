#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

void write_removals(std::span<const std::uint8_t> removed, std::size_t removed_count, std::size_t nodes,
                    ByteSink& sink) {
  SectionWriter section(sink, "REMV", std::uint64_t{removed_count} * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes && node < removed.size(); ++node) {
    const auto id = static_cast<std::uint32_t>(node);
    if (removed[node] != 0) section.put(&id, sizeof(id));
  }
  section.end();
}

void read_removals(ByteSource& source, const FileHeader& header, std::vector<std::uint8_t>& removed) {
  const std::uint64_t nodes = header.nodes;
  SectionReader section(source, "REMV");
  section.expect_length(header.removed * sizeof(std::uint32_t),
                        std::to_string(header.removed) + " removed vectors");
  removed.assign(header.removed != 0 ? nodes : 0, 0);
  std::uint64_t previous = 0;
  section.read_records(sizeof(std::uint32_t), header.removed,
                       [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
                         const auto* nodes_removed = reinterpret_cast<const std::uint32_t*>(bytes);
                         for (std::size_t i = 0; i < count; ++i) {
                           const std::uint32_t node = nodes_removed[i];
                           if (node >= nodes || (first + i != 0 && node <= previous))
                             corrupt("the removed nodes are not distinct stored nodes in ascending order");
                           previous = node;
                           removed[node] = 1;
                         }
                       });
  section.finish();
}

}  // namespace hobrin::ann::format
