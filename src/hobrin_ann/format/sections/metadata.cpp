#include <variant>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/cursor.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

void append_metadata(std::string& out, const Metadata& value) {
  if (const auto* text = std::get_if<std::string>(&value.value)) {
    append_value<std::uint8_t>(out, kString);
    append_value<std::uint32_t>(out, static_cast<std::uint32_t>(text->size()));
    out += *text;
  } else if (const auto* integer = std::get_if<std::int64_t>(&value.value)) {
    append_value<std::uint8_t>(out, kInt);
    append_value<std::int64_t>(out, *integer);
  } else {
    append_value<std::uint8_t>(out, kFloat);
    append_value<double>(out, std::get<double>(value.value));
  }
}

Metadata read_value(Cursor& cursor, std::uint64_t node) {
  const auto kind = cursor.next<std::uint8_t>();
  switch (kind) {
    case kString: {
      const auto size = cursor.next<std::uint32_t>();
      const std::string_view text = cursor.text(size);
      if (!valid_utf8(text))
        corrupt("the metadata of node " + std::to_string(node) + " holds text that is not UTF-8");
      return Metadata{std::string(text)};
    }
    case kInt: return Metadata{cursor.next<std::int64_t>()};
    case kFloat: return Metadata{cursor.next<double>()};
    default: break;
  }
  corrupt("the metadata of node " + std::to_string(node) + " holds a value of unknown kind " +
          std::to_string(kind));
}

// The rows of `nodes` nodes of `width` values each, from a payload whose
// checksum matched.
void read_rows(Cursor& in, std::uint64_t nodes, std::size_t width, MetadataStore& metadata,
               ValueIndex& values) {
  in.need(nodes);  // a byte per node at least
  MetadataRow row;
  for (std::uint64_t node = 0; node < nodes; ++node) {
    const auto has_row = in.next<std::uint8_t>();
    if (has_row > 1) corrupt("the metadata of node " + std::to_string(node) + " has an unknown marker");
    if (has_row == 0) {
      metadata.append_no_row();
      continue;
    }
    row.clear();
    for (std::size_t a = 0; a < width; ++a) row.push_back(read_value(in, node));
    metadata.append_row(row);
    values.append(static_cast<std::uint32_t>(node), row);
  }
  in.expect_end();
}

}  // namespace

void write_metadata(const MetadataStore& metadata, const std::optional<Schema>& schema, std::size_t nodes,
                    ByteSink& sink) {
  std::string out;
  if (schema) {
    const std::size_t width = schema->size();
    for (std::size_t node = 0; node < nodes; ++node) {
      const auto row = metadata.row(static_cast<std::uint32_t>(node), width);
      append_value<std::uint8_t>(out, row ? 1 : 0);
      if (!row) continue;
      for (const Metadata& value : *row) append_metadata(out, value);
    }
  }
  write_section(sink, "META", out);
}

void read_metadata(ByteSource& source, const FileHeader& header, MetadataStore& metadata,
                   ValueIndex& values) {
  const std::optional<Schema>& schema = header.options.schema;
  SectionReader section(source, "META");
  if (!schema) section.expect_length(0, "an index without a schema");
  const auto payload = section.take(section.length());
  section.finish();
  if (!schema) return;
  Cursor in(payload, section.name());
  read_rows(in, header.nodes, schema->size(), metadata, values);
}

}  // namespace hobrin::ann::format
