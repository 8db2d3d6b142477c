#include "hobrin_ann/index/graph_index.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/fault.hpp"
#include "hobrin_ann/core/stores.hpp"
#include "hobrin_ann/index/stored_index.hpp"

namespace hobrin::ann {

template <class Store>
void StoredIndex<Store>::restore(ByteSource& source, const FileHeader& header, const LoadOptions& options) {
  read_body(source, header, core_, options);
  // The generator has drawn one level per node since it was seeded.
  level_seed_ = header.state.level_seed;
  rng_.seed(level_seed_);
  rng_.discard(header.nodes);
  next_id_ = header.state.next_id;
  size_.store(header.nodes - header.removed, std::memory_order_release);
  if (!core_.mapping) free_unlinked();
}

template <class Store>
std::unique_ptr<GraphIndex> StoredIndex<Store>::compact(std::size_t threads) const {
  auto fresh = std::make_unique<StoredIndex<Store>>(core_.options);
  const std::size_t dim = core_.options.dim;
  std::vector<Value> rows;
  std::vector<std::int64_t> ids;
  std::vector<MetadataRow> metadata;  // empty rows for vectors that have none
  std::vector<std::uint8_t> has_row;
  {
    // Beside searches and beside an addition's linking, without waiting for
    // it: the copy holds the additions that have finished, and the nodes of
    // one still linking (all past linking_from) are left out.
    std::shared_lock lock(mutex_);
    const std::size_t nodes = std::min(core_.graph.size(), core_.linking_from);
    const std::size_t live = nodes - core_.removed_count;
    rows.resize(live * dim);
    ids.reserve(live);
    if (core_.options.schema) {
      metadata.reserve(live);
      has_row.reserve(live);
    }
    for (std::size_t node = 0; node < nodes; ++node) {
      const auto id = static_cast<std::uint32_t>(node);
      if (core_.is_removed(id)) continue;
      core_.store.copy_out(id, rows.data() + ids.size() * dim);
      ids.push_back(core_.labels[id]);
      if (!core_.options.schema) continue;
      const auto row = core_.metadata.row(id, core_.options.schema->size());
      has_row.push_back(row.has_value());
      metadata.push_back(row ? MetadataRow(row->begin(), row->end()) : MetadataRow());
    }
    fresh->next_id_ = next_id_;
  }
  // A batch either has a metadata row for every vector or for none: one
  // addition per run of vectors alike in that.
  std::vector<std::int64_t> ids_out(ids.size());
  auto with_row = [&](std::size_t i) { return !has_row.empty() && has_row[i] != 0; };
  for (std::size_t start = 0; start < ids.size();) {
    const bool with_rows = with_row(start);
    std::size_t end = start + 1;
    while (end < ids.size() && with_row(end) == with_rows) ++end;
    const auto batch = with_rows ? std::span<const MetadataRow>(metadata).subspan(start, end - start)
                                 : std::span<const MetadataRow>();
    const auto added = fresh->add(rows.data() + start * dim, end - start, ids.data() + start,
                                  ids_out.data() + start, batch, threads, nullptr);
    check_invariant(added.has_value(), "the live vectors of an index could not be added to a new one");
    start = end;
  }
  return fresh;
}

namespace {

template <class Store>
std::unique_ptr<StoredIndex<Store>> restored(ByteSource& source, const FileHeader& header,
                                             const LoadOptions& options) {
  auto index = std::make_unique<StoredIndex<Store>>(header.options);
  index->restore(source, header, options);
  return index;
}

}  // namespace

GraphIndex::Loaded GraphIndex::load(ByteSource& source, const LoadOptions& options) {
  const FileHeader header = read_header(source);
  auto index = with_store(header.options, [&]<class Store>(Store*) -> std::unique_ptr<GraphIndex> {
    return restored<Store>(source, header, options);
  });
  return {std::move(index), header.state.ef_search};
}

std::unique_ptr<GraphIndex> GraphIndex::create(const IndexOptions& options) {
  if (const auto problem = options_problem(options)) throw std::invalid_argument(*problem);
  return with_store(options, [&]<class Store>(Store*) -> std::unique_ptr<GraphIndex> {
    return std::make_unique<StoredIndex<Store>>(options);
  });
}

#define HOBRIN_ANN_INSTANTIATE_INDEX(Store) template class StoredIndex<Store>;
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE_INDEX)
#undef HOBRIN_ANN_INSTANTIATE_INDEX

}  // namespace hobrin::ann
