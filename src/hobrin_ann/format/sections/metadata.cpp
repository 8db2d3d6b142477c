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
  } else if (const auto* list = std::get_if<MetadataList>(&value.value)) {
    append_value<std::uint8_t>(out, kList);
    append_value<std::uint32_t>(out, static_cast<std::uint32_t>(list->size()));
    for (const Metadata& element : *list) append_metadata(out, element);  // scalars: one level
  } else {
    append_value<std::uint8_t>(out, kFloat);
    append_value<double>(out, std::get<double>(value.value));
  }
}

[[noreturn]] void unknown_kind(std::uint64_t node, std::uint8_t kind) {
  corrupt("the metadata of node " + std::to_string(node) + " holds a value of unknown kind " +
          std::to_string(kind));
}

Metadata read_scalar(Cursor& cursor, std::uint64_t node, std::uint8_t kind) {
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
    default: unknown_kind(node, kind);
  }
}

// A value, or a list of scalar values (tags): a list inside a list is corrupt.
Metadata read_value(Cursor& cursor, std::uint64_t node) {
  const auto kind = cursor.next<std::uint8_t>();
  if (kind != kList) return read_scalar(cursor, node, kind);
  const auto count = cursor.next<std::uint32_t>();
  cursor.need(count);  // a byte per element at least, before anything is kept
  MetadataList list;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto element = cursor.next<std::uint8_t>();
    if (element == kList) corrupt("the metadata of node " + std::to_string(node) + " nests a list in a list");
    list.push_back(read_scalar(cursor, node, element));
  }
  return Metadata{std::move(list)};
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
