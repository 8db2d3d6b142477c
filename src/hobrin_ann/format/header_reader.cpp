// The start of a file: the preamble and the parameters, all that is needed to
// create the core that the rest of the file fills.
#include <algorithm>
#include <cstring>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann {
namespace {

// Everything the readers and the new core allocate is for counts the file's
// own size accounts for: the fixed-size sections, the codes' scales included,
// must fit in what remains before any is read or the core is made.
void check_room(const ByteSource& source, const FileHeader& h) {
  using namespace format;
  const std::size_t value_bytes = h.options.dtype == ElementType::Float32 ? sizeof(float) : sizeof(double);
  const std::uint64_t m = h.options.m;
  const std::uint32_t version = source.version();
  std::uint64_t needed = kSectionCount * (section_header_bytes(version) + kChecksumBytes);
  bool overflow = false;
  auto add = [&](std::uint64_t count, std::uint64_t bytes) {
    std::uint64_t product = 0;
    overflow |= __builtin_mul_overflow(count, bytes, &product);
    overflow |= __builtin_add_overflow(needed, product, &needed);
  };
  std::uint64_t row_bytes = 0;
  // Version 2 rows are padded to whole 64-byte blocks.
  std::uint64_t row_values = h.options.dim;
  if (version != kPackedVersion) {
    const std::uint64_t per_block = kAlignment / value_bytes;
    overflow |= __builtin_add_overflow(row_values, per_block - 1, &row_values);
    row_values -= row_values % per_block;
  }
  overflow |= __builtin_mul_overflow(row_values, value_bytes, &row_bytes);
  if (h.options.keep_vectors) add(h.nodes, row_bytes);
  if (h.options.quantization != Quantization::None && h.options.quantization != Quantization::Graph) {
    const fast::Code code = code_of(h.options.quantization);
    add(h.nodes, fast::code_row_bytes(code, h.options.dim));
    // The offset and scale of every dimension, stored even with no rows.
    add(fast::code_dims(code, h.options.dim), 2 * sizeof(float));
  }
  add(h.nodes, sizeof(std::int64_t) + 1 + 2 * m * sizeof(std::uint32_t) + (h.options.schema ? 1 : 0));
  add(h.upper_lists, m * sizeof(std::uint32_t));
  add(h.removed, sizeof(std::uint32_t));
  if (overflow || needed > source.remaining()) {
    corrupt("the file is too short for the " + std::to_string(h.nodes) + " nodes of " +
            std::to_string(h.options.dim) + " dimensions its parameters describe");
  }
}

}  // namespace

FileHeader read_header(ByteSource& source) {
  using namespace format;
  if (source.size() < kPreambleBytes) {
    corrupt("the file is too short to be an index file (" + std::to_string(source.size()) + " bytes)");
  }
  const auto preamble = source.take(kPreambleBytes);
  if (std::memcmp(preamble.data(), kMagic, sizeof(kMagic)) != 0)
    corrupt("not an index file (wrong magic number)");
  const auto version = load_value<std::uint32_t>(preamble.data() + 8);
  if (version < kPackedVersion || version > kVersion) {
    corrupt("unknown format version " + std::to_string(version) + " (this build reads versions " +
            std::to_string(kPackedVersion) + " to " + std::to_string(kVersion) + ")");
  }
  if (load_value<std::uint32_t>(preamble.data() + 12) != 0)
    corrupt("a reserved field of the preamble is not zero");
  const std::size_t rest = preamble_bytes(version) - kPreambleBytes;
  if (source.remaining() < rest) corrupt("the file ends inside its preamble");
  const auto zeros = source.take(rest);
  if (!std::all_of(zeros.begin(), zeros.end(), [](std::byte b) { return b == std::byte{0}; }))
    corrupt("a reserved field of the preamble is not zero");
  source.set_version(version);
  FileHeader header = read_parameters(source);
  check_room(source, header);
  return header;
}

}  // namespace hobrin::ann
