#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

template <class Store>
void write_vectors(const IndexCore<Store>& core, ByteSink& sink) {
  using T = typename Store::Value;
  const auto& rows = core.store.rows();
  const std::size_t nodes = core.graph.size();
  const std::size_t dim = core.options.dim;
  SectionWriter section(sink, "VECT", std::uint64_t{nodes} * dim * sizeof(T));
  // Rows are padded in memory; the file holds `dim` values per row.
  if (rows.stride() == dim) {
    section.put(rows.base(), nodes * dim * sizeof(T));
  } else {
    for (std::size_t node = 0; node < nodes; ++node)
      section.put(rows.row(static_cast<std::uint32_t>(node)), dim * sizeof(T));
  }
  section.end();
}

template <class Store>
void read_vectors(ByteSource& source, const FileHeader& header, IndexCore<Store>& core) {
  using T = typename Store::Value;
  const std::uint64_t nodes = header.nodes;
  const std::size_t dim = core.options.dim;
  SectionReader section(source, "VECT");
  const std::uint64_t row_bytes = checked_product(dim, sizeof(T), section.name());
  section.expect_length(checked_product(nodes, row_bytes, section.name()),
                        std::to_string(nodes) + " nodes of dim " + std::to_string(dim));
  core.store.reserve(nodes);
  section.read_records(row_bytes, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
    const T* values = reinterpret_cast<const T*>(bytes);
    check_finite_rows(values, count, dim, first);
    for (std::size_t r = 0; r < count; ++r) core.store.append_stored(values + r * dim);
  });
  section.finish();
}

template void write_vectors(const IndexCore<FullRows<float>>&, ByteSink&);
template void write_vectors(const IndexCore<FullRows<double>>&, ByteSink&);
template void read_vectors(ByteSource&, const FileHeader&, IndexCore<FullRows<float>>&);
template void read_vectors(ByteSource&, const FileHeader&, IndexCore<FullRows<double>>&);

}  // namespace hobrin::ann::format
