#pragma once
// The state of one graph index of element type T (float or double) and the
// per-thread scratch its searches use. The algorithm lives beside it:
// search_layer.hpp, select_neighbours.hpp and insert.hpp.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "common/metadata.hpp"
#include "hobrin_ann/filters/value_index.hpp"
#include "hobrin_ann/graph/graph.hpp"
#include "hobrin_ann/graph/link_locks.hpp"
#include "hobrin_ann/index/labels.hpp"
#include "hobrin_ann/index/options.hpp"
#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/search/scored.hpp"
#include "hobrin_ann/search/visited.hpp"
#include "hobrin_ann/store/rows.hpp"

namespace hobrin::ann {

// What one search or one insertion needs besides the index, reused from call
// to call so that the hot loops allocate nothing.
template <class T>
struct Scratch {
  explicit Scratch(std::size_t dim) : query(dim), block(dim) { query.reserve(1); }

  VisitedMarks visited;
  std::vector<Scored<T>> candidates;       // min-heap: nodes still to expand
  std::vector<Scored<T>> results;          // max-heap: the best found so far
  std::vector<Scored<T>> selected;         // neighbour selection's output
  std::vector<Scored<T>> pool;             // a full list plus one, to shrink
  std::vector<Scored<T>> kept;             // what the shrunk list keeps
  std::vector<std::uint32_t> links;        // a copy of one link list
  std::vector<std::uint32_t> fresh;        // unvisited neighbours to score
  std::vector<T> distances;                // their distances
  VectorRows<T> query;                     // the query, padded (and unit length for cosine)
  VectorRows<T> block;                     // a block of queries scanned together
  std::vector<std::vector<Scored<T>>> block_results;  // their best nodes

  // Room for searches over `nodes` nodes with lists of up to `max_links` and
  // an insertion's candidate list of `ef`; throws std::bad_alloc.
  void prepare(std::size_t nodes, std::size_t max_links, std::size_t ef) {
    ef = std::min(ef, nodes);  // a list never holds more nodes than there are
    visited.prepare(nodes);
    links.reserve(max_links + 1);
    fresh.reserve(max_links + 1);
    distances.reserve(max_links + 1);
    selected.reserve(max_links + 1);
    kept.reserve(max_links + 1);
    pool.reserve(std::max(ef, 2 * max_links) + 2);
    candidates.reserve(ef + max_links + 1);
    results.reserve(ef + 2);
  }
};

template <class T>
struct IndexCore {
  explicit IndexCore(const IndexOptions& opts)
      : options(opts),
        unit_rows(opts.metric == Metric::Cosine),
        kernels(fast::fast_kernels<T>(opts.metric == Metric::Euclidean ? fast::Measure::SquaredEuclidean
                                                                       : fast::Measure::NegativeDot)),
        vectors(opts.dim),
        graph(opts.m),
        values(opts.schema ? opts.schema->size() : 0) {}

  T distance(const T* query, std::uint32_t node) const noexcept {
    return rankable(kernels.pair(query, vectors.row(node), vectors.stride()));
  }
  T distance(std::uint32_t a, std::uint32_t b) const noexcept { return distance(vectors.row(a), b); }
  bool is_removed(std::uint32_t node) const noexcept { return node < removed.size() && removed[node] != 0; }

  const IndexOptions options;
  const bool unit_rows;                 // cosine: rows are stored at unit length
  const fast::FastKernels<T> kernels;
  std::vector<std::uint32_t> dim_order;  // stored value j is the caller's value dim_order[j]; empty: as given
  VectorRows<T> vectors;  // per node: its vector, in dim_order
  LinkGraph graph;  // per node: its level and links
  std::vector<std::int64_t> labels;  // per node: its external id
  LabelMap nodes_by_label;  // external id to node
  MetadataStore metadata;  // per node: its metadata row, if any
  ValueIndex values;  // per attribute and value: the nodes that hold it
  std::vector<std::uint8_t> removed;  // per node up to the last removed one: 1 once removed
  std::size_t removed_count = 0;  // removed nodes, which searches walk through but never return
  LinkLocks link_locks;  // held while a list is read or written during parallel insertion
  std::mutex entry_mutex;  // guards the two below during parallel insertion
  std::uint32_t entry_point = kNoNode;  // a node of the top layer
  int top_level = -1;  // the highest level of any node
};

}  // namespace hobrin::ann
