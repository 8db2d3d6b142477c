#pragma once
// The graph index: every vector in one array, one level and one neighbour list
// per node, the per-layer level weights, the optional schema with the nodes'
// metadata rows, and the parameters fixed at construction.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "common/metadata.hpp"
#include "common/vector_list.hpp"
#include "hobrin/distance/candidate.hpp"
#include "hobrin/distance/metrics.hpp"
#include "hobrin/filter/filter.hpp"
#include "hobrin/hnsw/hnsw_error.hpp"
#include "hobrin/hnsw/neighbour_lists.hpp"

namespace hobrin {

struct HNSWConfig {
  std::uint64_t dim;
  std::uint64_t layers = 5;
  std::uint64_t m = 16;
  std::uint64_t ef_construction = 200;
  std::uint64_t ef_search = 50;
  Metric distance;
  std::optional<Schema> schema;
};

class HNSW {
 public:
  // The caller has checked the metric, dim >= 1 and layers <= 64.
  explicit HNSW(HNSWConfig config);

  // Adds one vector of exactly `dim` values, with a row of schema length or
  // without one (nullptr), linking it into the graph. On an error or a thrown
  // exception (std::bad_alloc, or CapacityExceeded once the graph holds 2^32 - 1
  // nodes) the index is left exactly as it was.
  std::expected<void, HNSWError> insert(VectorView vector, const MetadataRow* row, std::mt19937_64& rng);

  // Inserts the vectors in order, vector i with rows[i] when the index has a
  // schema (rows are ignored otherwise). Stops at the first failing insertion;
  // the ones before it stay.
  std::expected<void, HNSWError> create(const VectorList& vectors, std::span<const MetadataRow> rows,
                                        std::mt19937_64& rng);

  // Best-first search of one layer from `entry`: up to ef (distance, node)
  // pairs in ascending order of distance. The entry is taken without the level
  // and filter tests; other nodes must reach the layer and pass the filter.
  std::expected<std::vector<Candidate>, HNSWError> knn(NodeId entry, VectorView query, std::uint64_t ef,
                                                       std::uint64_t layer, const Filter* filter) const;

  // Greedy descent from node 0 through layers layers-1 .. 1, then a search of
  // layer 0 with ef_search, cut to max(k, 1) pairs that pass the filter.
  std::expected<std::vector<Candidate>, HNSWError> search(VectorView query, std::uint64_t k,
                                                          const Filter* filter) const;

  std::size_t size() const noexcept { return levels_.size(); }
  VectorView vector(NodeId node) const;
  // A copy of the node's whole neighbour list, in linking order.
  std::vector<NodeId> neighbours(NodeId node) const;
  std::uint64_t level(NodeId node) const;
  const std::optional<Schema>& schema() const noexcept { return schema_; }
  const MetadataStore& metadata() const noexcept { return metadata_; }

  std::uint64_t dim() const noexcept { return dim_; }
  std::uint64_t layers() const noexcept { return layers_; }
  std::uint64_t m() const noexcept { return m_; }
  std::uint64_t ef_construction() const noexcept { return ef_construction_; }
  std::uint64_t ef_search() const noexcept { return ef_search_; }
  std::span<const double> level_weights() const noexcept { return level_weights_; }
  Metric distance() const noexcept { return distance_; }

 private:
  VectorView stored(NodeId node) const noexcept { return VectorView(vectors_.data() + node * dim_, dim_); }
  // Appends the node's vector, level, row (or no row) and empty list together:
  // all of them, or none when something throws.
  void append_node(VectorView vector, std::uint64_t level, const MetadataRow* row);
  // Links the last node in, layer 0 upward; records each back entry's owner
  // in `back_entries` once it is added.
  std::expected<void, HNSWError> link(NodeId node, std::uint64_t level, std::vector<NodeId>& back_entries);
  // Undoes the back entries in reverse order, then forgets every node from
  // `node_count` on.
  void roll_back(std::size_t node_count, std::span<const NodeId> back_entries) noexcept;

  // The schema position a filter tests, or why the filter is refused.
  std::expected<std::size_t, HNSWError> filter_position(const Filter& filter) const;
  bool passes(NodeId node, const Filter& filter, std::size_t position) const;

  std::vector<double> vectors_;        // node i's values at [i * dim, (i + 1) * dim)
  NeighbourLists lists_;               // per node, its neighbours in linking order
  std::vector<std::uint8_t> levels_;   // per node, the highest layer it belongs to
  std::vector<double> level_weights_;  // per layer i, e^-i (unnormalised)
  double level_weight_total_;          // their sum in index order
  MetadataStore metadata_;             // per node, its row or none
  std::optional<Schema> schema_;       // attribute names; absent: no metadata
  Metric distance_;                    // ranks ascending for every metric
  std::uint64_t dim_;
  std::uint64_t layers_;
  std::uint64_t m_;                    // kept with the index; lists are unbounded
  std::uint64_t ef_construction_;      // result-list size of linking searches
  std::uint64_t ef_search_;            // result-list size of the layer-0 query search
};

}  // namespace hobrin
