#pragma once
// One neighbour list per node, each a contiguous slice. Adding an entry to one
// node's list never moves another node's entries, so linking costs amortised
// O(1) per entry however large the graph grows.
//
// A layer search at layer l follows, in stored order, the entries whose node
// reaches l, and skips every node it has already met: a second entry for the
// same node in one list is always skipped. Besides its whole list, each node
// therefore keeps, for every layer l up to the highest level among its
// entries, the first occurrences of the entries whose level is at least l,
// in stored order: exactly what a search of layer l can use. Lists are long
// here (they are not pruned, and a neighbour found in several link passes is
// listed once per pass), and the nodes of the top layers collect an entry
// from nearly every insertion; these subsequences spare the searches most of
// that reading. They are kept per layer, the nodes' lists of one layer side by
// side, so that finding a node's list is one read from a dense array.
//
// Entries are stored in 32 bits, which halves the memory the searches stream
// through; a graph holds at most 2^32 - 1 nodes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hobrin/distance/candidate.hpp"
#include "hobrin/hnsw/visited_set.hpp"

namespace hobrin {

using NeighbourId = std::uint32_t;

class NeighbourLists {
 public:
  std::size_t node_count() const noexcept { return all_.size(); }

  // The node's entries in the order they were added. No bounds check: callers
  // pass ids of stored nodes.
  std::span<const NeighbourId> of(NodeId node) const noexcept { return all_[node]; }

  // The first occurrences of the node's entries whose level is at least
  // `layer`, in the order they were added.
  std::span<const NeighbourId> searched(NodeId node, std::uint64_t layer) const noexcept {
    if (layer >= searched_.size()) return {};
    const auto& lists = searched_[layer];
    return node < lists.size() ? std::span<const NeighbourId>(lists[node]) : std::span<const NeighbourId>();
  }

  // Start loading into the cache what searched(node, layer) reads: where the
  // list lies first, then the start of the list.
  void prefetch_where(NodeId node, std::uint64_t layer) const noexcept {
    if (layer < searched_.size() && node < searched_[layer].size()) {
      __builtin_prefetch(searched_[layer].data() + node);
    }
  }
  void prefetch(NodeId node, std::uint64_t layer) const noexcept {
    __builtin_prefetch(searched(node, layer).data());
  }

  // How many nodes of level >= layer some list names: all that a search of
  // that layer can reach through lists. Once a search has visited them all,
  // no list holds anything new for it.
  std::size_t named_count(std::uint64_t layer) const noexcept {
    return layer < named_at_.size() ? named_at_[layer] : 0;
  }
  // Whether some list names the node.
  bool named(NodeId node) const noexcept { return named_[node] != 0; }

  // Adds an empty list for a new node of level `level`, which becomes the
  // newest. Throws CapacityExceeded when the graph already holds 2^32 - 1
  // nodes. Unchanged when it throws.
  void add_node(std::uint64_t level);
  // Appends `entry` as the node's last entry. Either `node` or `entry` is the
  // newest node: linking adds the newest node's own entries and, to older
  // lists, entries naming it. Unchanged when it throws.
  void append(NodeId node, NodeId entry);
  // Removes the last entry of a node other than the newest, undoing the latest
  // append to it.
  void drop_last(NodeId node) noexcept;
  // Forgets every node from `node_count` on with its list. Entries naming
  // those nodes in the lists that stay must have been dropped first.
  void truncate_nodes(std::size_t node_count) noexcept;

 private:
  using List = std::vector<NeighbourId>;
  // Counts node as named at layers 0 .. its level, or stops counting it.
  void count_named(NeighbourId node, bool named) noexcept;

  std::vector<std::uint8_t> levels_;         // [node]: its level
  std::vector<List> all_;                    // [node]: every entry, in insertion order
  std::vector<std::vector<List>> searched_;  // [layer][node]: first occurrences of level >= layer;
                                             // a layer's array ends before nodes it never lists
  std::vector<std::uint32_t> named_;  // [node]: how many lists name it
  std::vector<std::size_t> named_at_;  // [layer]: named nodes of level >= layer
  BasicVisitedSet<std::uint32_t> in_newest_;  // the entries of the newest node's list
};

}  // namespace hobrin
