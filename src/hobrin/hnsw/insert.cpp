// Insertion of one vector with its random level, and bulk creation.
#include <functional>

#include "common/fault.hpp"
#include "hobrin/hnsw/hnsw.hpp"
#include "hobrin/hnsw/level_sampler.hpp"

namespace hobrin {

std::expected<void, HNSWError> HNSW::insert(VectorView vector, const MetadataRow* row, std::mt19937_64& rng) {
  check_invariant(vector.size() == dim_, "inserted vector does not have the index dimension");
  if (row != nullptr) {
    check_invariant(schema_.has_value() && row->size() == schema_->size(),
                    "inserted metadata row does not match the schema");
  }
  const std::size_t node = size();
  // The first node sits on the top layer and draws nothing. An index without
  // layers has no level to give; its nodes get 0 and are never linked.
  const std::uint64_t top = layers_ == 0 ? 0 : layers_ - 1;
  if (node == 0) {
    append_node(vector, top, row);
    return {};
  }

  const std::uint64_t level = level_for(level_weights_, level_weight_total_, uniform_unit(rng));
  append_node(vector, level, row);
  std::vector<NodeId> back_entries;
  try {
    auto linked = link(node, level, back_entries);
    if (!linked) roll_back(node, back_entries);
    return linked;
  } catch (...) {
    roll_back(node, back_entries);
    throw;
  }
}

void HNSW::append_node(VectorView vector, std::uint64_t level, const MetadataRow* row) {
  const std::size_t node = size();
  const std::less<const double*> before;
  if (!vector.empty() && !before(vector.data(), vectors_.data()) &&
      before(vector.data(), vectors_.data() + vectors_.size())) {
    // A view into our own storage would dangle if appending reallocates.
    const std::vector<double> copy(vector.begin(), vector.end());
    append_node(copy, level, row);
    return;
  }
  try {
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
    levels_.push_back(static_cast<std::uint8_t>(level));
    if (row != nullptr) {
      metadata_.append_row(*row);
    } else {
      metadata_.append_no_row();
    }
    lists_.add_node(level);
  } catch (...) {
    roll_back(node, {});
    throw;
  }
}

std::expected<void, HNSWError> HNSW::link(NodeId node, std::uint64_t level,
                                          std::vector<NodeId>& back_entries) {
  const VectorView query = stored(node);
  NodeId entry = 0;
  // Layers are visited from the bottom up: those below the node's level are
  // crossed greedily, the others each get a link pass.
  for (std::uint64_t layer = 0; layer < layers_; ++layer) {
    if (layer < level) {
      auto nearest = knn(entry, query, 1, layer, nullptr);
      if (!nearest) return std::unexpected(nearest.error());
      entry = nearest->front().id;
      continue;
    }
    auto found = knn(entry, query, ef_construction_, layer, nullptr);
    if (!found) return std::unexpected(found.error());
    // Reserved up front so that recording an added entry cannot throw.
    back_entries.reserve(back_entries.size() + found->size());
    for (const Candidate& c : *found) {
      if (c.id >= size()) return std::unexpected(HNSWError::InvalidNodeID);
      lists_.append(c.id, node);
      back_entries.push_back(c.id);
    }
    for (const Candidate& c : *found) lists_.append(node, c.id);
    entry = node;
  }
  return {};
}

void HNSW::roll_back(std::size_t node_count, std::span<const NodeId> back_entries) noexcept {
  // Each back entry was the last entry of its list when added and later ones
  // are undone first, so each undo removes exactly the entry it recorded.
  // Entries in the dropped nodes' own lists go with those lists.
  for (auto it = back_entries.rbegin(); it != back_entries.rend(); ++it) {
    if (*it < node_count) lists_.drop_last(*it);
  }
  lists_.truncate_nodes(node_count);
  metadata_.truncate_nodes(node_count);
  if (levels_.size() > node_count) levels_.resize(node_count);
  if (vectors_.size() > node_count * dim_) vectors_.resize(node_count * dim_);
}

std::expected<void, HNSWError> HNSW::create(const VectorList& vectors, std::span<const MetadataRow> rows,
                                            std::mt19937_64& rng) {
  if (vectors.empty()) return std::unexpected(HNSWError::EmptyVectors);
  const bool with_rows = schema_.has_value();
  if (with_rows && rows.size() != vectors.size()) {
    return std::unexpected(HNSWError::AttributeNotFound);
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    auto inserted = insert(vectors[i], with_rows ? &rows[i] : nullptr, rng);
    if (!inserted) return inserted;
  }
  return {};
}

}  // namespace hobrin
