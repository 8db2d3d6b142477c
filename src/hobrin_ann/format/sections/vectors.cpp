#include <algorithm>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

template <class Store>
void write_vectors(const IndexCore<Store>& core, ByteSink& sink) {
  using T = typename Store::Value;
  const auto& rows = core.store.rows();
  // Rows as they are in memory, padding included, so that a mapped file can
  // be scored in place; none when an index keeps only codes.
  const std::size_t nodes = core.options.keep_vectors ? core.graph.size() : 0;
  const std::size_t bytes = nodes * rows.stride() * sizeof(T);
  SectionWriter section(sink, "VECT", bytes);
  section.put(rows.base(), bytes);
  section.end();
}

namespace {

// Version 1: `dim` values a row, copied into the store.
template <class Store>
void read_packed_rows(SectionReader& section, std::uint64_t nodes, IndexCore<Store>& core) {
  using T = typename Store::Value;
  const std::size_t dim = core.options.dim;
  const std::uint64_t row_bytes = checked_product(dim, sizeof(T), section.name());
  section.expect_length(checked_product(nodes, row_bytes, section.name()),
                        std::to_string(nodes) + " nodes of dim " + std::to_string(dim));
  core.store.reserve(nodes);
  section.read_records(row_bytes, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
    const T* values = reinterpret_cast<const T*>(bytes);
    check_finite_rows(values, count, dim, first);
    for (std::size_t r = 0; r < count; ++r) core.store.append_stored(values + r * dim);
  });
}

// Version 2 mapped: the rows stay in the file; with `verify` they are
// checked in chunks that stay in cache while the checksum runs over them.
template <class Store>
bool view_rows(SectionReader& section, std::uint64_t nodes, std::size_t stride, bool verify,
               IndexCore<Store>& core) {
  using T = typename Store::Value;
  const std::byte* rows = section.view_records(
      stride * sizeof(T), nodes, verify, [&](const std::byte* chunk, std::size_t count, std::uint64_t first) {
        if (verify)
          check_padded_rows(reinterpret_cast<const T*>(chunk), count, core.options.dim, stride, first);
      });
  if (rows == nullptr) return false;  // the source is not mapped
  core.store.view(reinterpret_cast<const T*>(rows), nodes);
  return true;
}

}  // namespace

template <class Store>
bool read_vectors(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                  const LoadOptions& options) {
  using T = typename Store::Value;
  const std::uint64_t nodes = header.options.keep_vectors ? header.nodes : 0;
  const std::size_t dim = core.options.dim;
  SectionReader section(source, "VECT");
  if (source.version() == kPackedVersion) {
    read_packed_rows(section, nodes, core);
    section.finish();
    return false;
  }
  const std::size_t stride = fast::padded_length<T>(dim);
  const std::uint64_t row_bytes = checked_product(stride, sizeof(T), section.name());
  section.expect_length(checked_product(nodes, row_bytes, section.name()),
                        std::to_string(nodes) + " nodes of dim " + std::to_string(dim) + ", padded to " +
                            std::to_string(stride));
  bool viewed = options.map && view_rows(section, nodes, stride, options.verify, core);
  if (!viewed) {
    core.store.reserve(nodes);
    section.read_records(row_bytes, nodes,
                         [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
                           const T* values = reinterpret_cast<const T*>(bytes);
                           check_padded_rows(values, count, dim, stride, first);
                           for (std::size_t r = 0; r < count; ++r)
                             core.store.append_stored(values + r * stride);
                         });
  }
  section.finish();
  return viewed;
}

#define HOBRIN_ANN_INSTANTIATE(Store)                              \
  template void write_vectors(const IndexCore<Store>&, ByteSink&); \
  template bool read_vectors(ByteSource&, const FileHeader&, IndexCore<Store>&, const LoadOptions&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann::format
