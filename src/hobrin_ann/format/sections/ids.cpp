#include <algorithm>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

void write_ids(std::span<const std::int64_t> ids, ByteSink& sink) {
  SectionWriter section(sink, "LABL", ids.size_bytes());
  section.put(ids.data(), ids.size_bytes());
  section.end();
}

void read_ids(ByteSource& source, const FileHeader& header, std::vector<std::int64_t>& ids) {
  const std::uint64_t nodes = header.nodes;
  std::int64_t largest = -1;
  SectionReader section(source, "LABL");
  section.expect_length(nodes * sizeof(std::int64_t), std::to_string(nodes) + " nodes");
  ids.reserve(nodes);
  section.read_records(sizeof(std::int64_t), nodes,
                       [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
                         const auto* values = reinterpret_cast<const std::int64_t*>(bytes);
                         for (std::size_t i = 0; i < count; ++i) {
                           if (values[i] < 0)
                             corrupt("node " + std::to_string(first + i) + " has the negative id " +
                                     std::to_string(values[i]));
                           largest = std::max(largest, values[i]);
                           ids.push_back(values[i]);
                         }
                       });
  section.finish();
  if (largest >= 0 && static_cast<std::uint64_t>(largest) >= header.state.next_id)
    corrupt("id " + std::to_string(largest) + " is not below the next id");
}

}  // namespace hobrin::ann::format
