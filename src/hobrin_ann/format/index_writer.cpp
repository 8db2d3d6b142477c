// Writes a whole index file: the preamble, then each section in file order.
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann {

template <class Store>
void write_index(const IndexCore<Store>& core, const IndexState& state, ByteSink& sink) {
  using namespace format;
  const std::size_t nodes = core.graph.size();
  std::string preamble(kMagic, sizeof(kMagic));
  append_value<std::uint32_t>(preamble, kVersion);
  append_value<std::uint32_t>(preamble, 0);
  preamble.resize(preamble_bytes(kVersion), '\0');
  sink.write(preamble.data(), preamble.size());

  write_parameters(core, state, sink);
  write_vectors(core, sink);
  write_codes(core, sink);
  write_code_scalars(core, sink);
  write_ids(std::span(core.labels.data(), nodes), sink);
  write_levels(core.graph, sink);
  write_links(core.graph, sink);
  write_metadata(core.metadata, core.options.schema, nodes, sink);
  write_removals(core.removed, core.removed_count, nodes, sink);
  write_id_table(core.nodes_by_label, sink);
}

#define HOBRIN_ANN_INSTANTIATE(Store) \
  template void write_index(const IndexCore<Store>&, const IndexState&, ByteSink&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann
