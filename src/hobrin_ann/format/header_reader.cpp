// The start of a file: the preamble and the parameters, all that is needed to
// create the core that the rest of the file fills.
#include <algorithm>
#include <cstring>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann {

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
  return read_parameters(source);
}

}  // namespace hobrin::ann
