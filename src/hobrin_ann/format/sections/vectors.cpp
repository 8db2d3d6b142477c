#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {

template <class T>
void write_vectors(const IndexCore<T>& core, ByteSink& sink) {
  const std::size_t nodes = core.graph.size();
  const std::size_t dim = core.options.dim;
  SectionWriter section(sink, "VECT", std::uint64_t{nodes} * dim * sizeof(T));
  // Rows are padded in memory; the file holds `dim` values per row.
  if (core.vectors.stride() == dim) {
    section.put(core.vectors.base(), nodes * dim * sizeof(T));
  } else {
    for (std::size_t node = 0; node < nodes; ++node)
      section.put(core.vectors.row(static_cast<std::uint32_t>(node)), dim * sizeof(T));
  }
  section.end();
}

template <class T>
void read_vectors(ByteSource& source, const FileHeader& header, IndexCore<T>& core) {
  const std::uint64_t nodes = header.nodes;
  const std::size_t dim = core.options.dim;
  SectionReader section(source, "VECT");
  const std::uint64_t row_bytes = checked_product(dim, sizeof(T), section.name());
  section.expect_length(checked_product(nodes, row_bytes, section.name()),
                        std::to_string(nodes) + " nodes of dim " + std::to_string(dim));
  core.vectors.reserve(nodes);
  section.read_records(row_bytes, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
    const T* values = reinterpret_cast<const T*>(bytes);
    check_finite_rows(values, count, dim, first);
    for (std::size_t r = 0; r < count; ++r) core.vectors.append(values + r * dim, false);
  });
  section.finish();
}

template void write_vectors<float>(const IndexCore<float>&, ByteSink&);
template void write_vectors<double>(const IndexCore<double>&, ByteSink&);
template void read_vectors<float>(ByteSource&, const FileHeader&, IndexCore<float>&);
template void read_vectors<double>(ByteSource&, const FileHeader&, IndexCore<double>&);

}  // namespace hobrin::ann::format
