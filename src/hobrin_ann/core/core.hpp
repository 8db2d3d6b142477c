#pragma once
// The state of one graph index over a vector store (store/vector_store.hpp)
// and the per-thread scratch its searches and insertions use: the floor that
// the query (search/), the file (format/) and insertion (insert/) stand on.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/epoch_set.hpp"
#include "common/metadata.hpp"
#include "hobrin_ann/core/labels.hpp"
#include "hobrin_ann/core/options.hpp"
#include "hobrin_ann/core/scored.hpp"
#include "hobrin_ann/filters/value_index.hpp"
#include "hobrin_ann/graph/graph.hpp"
#include "hobrin_ann/graph/link_locks.hpp"
#include "hobrin_ann/store/stores.hpp"

namespace hobrin::ann {

// The file whose mapped bytes a loaded core uses in place. A file stays
// untrusted once loaded: one changed in place shows through the mapping.
class MappedFile {
 public:
  virtual ~MappedFile() = default;
  // What is wrong when the file is no longer as it was mapped: shorter than
  // the mapping (reading past its end faults) or written since; else nothing.
  virtual std::optional<std::string> changed() const = 0;
};

// What one search or one insertion needs besides the index, reused from call
// to call so that the hot loops allocate nothing.
template <class Store>
struct Scratch {
  using D = typename Store::Distance;
  explicit Scratch(const Store& store) : query(store.make_query_rows()), block(store.make_query_rows()) {
    query.reserve(1);
  }

  EpochSet<std::uint16_t> visited;         // nodes the current search has reached
  std::vector<Scored<D>> candidates;       // min-heap: nodes still to expand
  std::vector<Scored<D>> results;          // max-heap: the best found so far
  std::vector<Scored<D>> selected;         // neighbour selection's output
  std::vector<Scored<D>> pool;             // a full list plus one, to shrink
  std::vector<Scored<D>> kept;             // what the shrunk list keeps
  std::vector<std::uint32_t> links;        // a copy of one link list
  std::vector<std::uint32_t> fresh;        // unvisited neighbours to score
  std::vector<D> distances;                // their distances
  typename Store::QueryRows query;         // the query, prepared by the store
  typename Store::QueryRows block;         // a block of queries scanned together
  std::vector<std::vector<Scored<D>>> block_results;  // their best nodes

  // Room for searches over `nodes` nodes with lists of up to `max_links` and
  // an insertion's candidate list of `ef`; throws std::bad_alloc.
  void prepare(std::size_t nodes, std::size_t max_links, std::size_t ef) {
    ef = std::min(ef, nodes);  // a list never holds more nodes than there are
    visited.reserve(nodes);
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

constexpr fast::Code code_of(Quantization quantization) noexcept {
  return quantization == Quantization::Float16 ? fast::Code::Float16
         : quantization == Quantization::Int8  ? fast::Code::Int8
                                               : fast::Code::Int4;
}

// The empty store of an index with these options.
template <class Store>
Store empty_store(const IndexOptions& o) {
  const auto measure =
      o.metric == Metric::Euclidean ? fast::Measure::SquaredEuclidean : fast::Measure::NegativeDot;
  const bool unit = o.metric == Metric::Cosine;
  if constexpr (Store::kCoded) {
    // The first batch chooses whether rows are rotated before coding
    // (CodedRows::learn): on data that is not centred, such as non-negative
    // pixels, a rotation gathers the mean into a few values and widens every
    // vector's step.
    return Store(o.dim, measure, unit, code_of(o.quantization), o.keep_vectors);
  } else {
    return Store(o.dim, measure, unit);
  }
}

// IndexCore::linking_from when no addition is linking.
inline constexpr std::size_t kNoneLinking = std::numeric_limits<std::size_t>::max();

// The states of a node in IndexCore::removed.
inline constexpr std::uint8_t kLive = 0, kRemoved = 1, kFree = 2;

template <class Store>
struct IndexCore {
  using D = typename Store::Distance;

  explicit IndexCore(const IndexOptions& opts)
      : options(opts),
        store(empty_store<Store>(opts)),
        graph(opts.m),
        values(opts.schema ? opts.schema->size() : 0) {}

  bool is_removed(std::uint32_t node) const noexcept {
    return node < removed.size() && removed[node] != kLive;
  }
  bool is_free(std::uint32_t node) const noexcept { return node < removed.size() && removed[node] == kFree; }
  // Whether a search may return the node: not removed, and not of an
  // addition still linking (such nodes are walked through, never returned).
  bool returnable(std::uint32_t node) const noexcept { return node < linking_from && !is_removed(node); }
  // Whether an addition is linking, so that link lists, the entry point and
  // the top level may change under a search: it then reads them under locks.
  bool linking() const noexcept { return linking_from != kNoneLinking; }

  const IndexOptions options;
  Store store;  // per node: its vector; scores queries and pairs of nodes
  LinkGraph graph;  // per node: its level and links
  std::vector<std::int64_t> labels;  // per node: its external id
  LabelMap nodes_by_label;  // external id to node
  MetadataStore metadata;  // per node: its metadata row, if any
  ValueIndex values;  // per attribute and value: the nodes that hold it
  // Per node up to the last removed one: kLive, kRemoved (still linked, walked
  // through but never returned) or kFree (unlinked: nothing leads to it, and
  // an addition may reuse its slot).
  std::vector<std::uint8_t> removed;
  std::size_t removed_count = 0;  // removed and free nodes
  std::vector<std::uint32_t> free_slots;  // the kFree nodes, the next one reused last
  // The first node of the addition being linked, or kNoneLinking. Changed
  // only while the index is held exclusively, so a search reads it once.
  std::size_t linking_from = kNoneLinking;
  LinkLocks link_locks;  // held while a list is read or written during insertion, or beside it
  std::mutex entry_mutex;  // guards the two below during insertion
  std::uint32_t entry_point = kNoNode;  // a node of the top layer
  int top_level = -1;  // the highest level of any node
  // The mapped file that the rows and layer-0 links lie in, if they do; such
  // a core is read-only.
  std::shared_ptr<const MappedFile> mapping;
};

}  // namespace hobrin::ann
