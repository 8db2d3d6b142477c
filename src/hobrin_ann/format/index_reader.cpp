// Reads the sections after the header into a new core, in file order, then
// builds what the core derives from them.
#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann {
namespace {

// The map from id to node, over the nodes not removed: no id twice.
template <class Store>
void index_ids(IndexCore<Store>& core, std::uint64_t nodes, std::uint64_t removed) {
  core.nodes_by_label.reserve(nodes - removed);
  for (std::uint64_t node = 0; node < nodes; ++node) {
    const auto id = static_cast<std::uint32_t>(node);
    if (core.is_removed(id)) continue;
    if (const auto other = core.nodes_by_label.insert_new(core.labels[id], id)) {
      format::corrupt("id " + std::to_string(core.labels[id]) + " belongs to two vectors (nodes " +
                      std::to_string(*other) + " and " + std::to_string(node) + ")");
    }
  }
}

}  // namespace

template <class Store>
void read_body(ByteSource& source, const FileHeader& h, IndexCore<Store>& core, const LoadOptions& options) {
  using namespace format;
  bool mapped = read_vectors(source, h, core, options);
  mapped |= read_codes(source, h, core, options);
  mapped |= read_code_scalars(source, h, core, options);
  read_ids(source, h, core.labels);
  const std::vector<std::uint8_t> levels = read_levels(source, h);
  mapped |= read_links(source, h, levels, core.graph, options.map);
  read_metadata(source, h, core.metadata, core.values);
  read_removals(source, h, core.removed);
  core.removed_count = h.removed;
  if (source.version() == kPackedVersion) {
    index_ids(core, h.nodes, h.removed);
  } else {
    mapped |= read_id_table(source, h, core, options.map);
  }
  if (source.remaining() != 0) corrupt(std::to_string(source.remaining()) + " bytes follow the last section");

  core.store.set_order(h.dim_order);
  core.entry_point = h.entry_point;
  core.top_level = h.top_level;
  if (mapped) core.mapping = source.mapping();
}

#define HOBRIN_ANN_INSTANTIATE(Store) \
  template void read_body(ByteSource&, const FileHeader&, IndexCore<Store>&, const LoadOptions&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann
