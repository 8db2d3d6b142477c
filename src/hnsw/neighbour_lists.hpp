#pragma once
// One neighbour list per node, each a contiguous slice read as a span. Adding
// an entry to one node's list never moves another node's entries, so linking
// costs amortised O(1) per entry however large the graph grows.
//
// A layer search at layer l follows only the entries whose node reaches l, in
// stored order. Besides its whole list, each node therefore keeps, for every
// layer l >= 1 that some entry reaches, the subsequence of its list whose
// nodes' levels are at least l. A search of an upper layer reads exactly the
// entries it may follow, instead of skipping through the long lists that the
// nodes of the top layers collect (one entry from nearly every insertion).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "candidate.hpp"

namespace hobrin {

class NeighbourLists {
 public:
  std::size_t node_count() const noexcept { return nodes_.size(); }

  // The node's entries in the order they were added. No bounds check: callers
  // pass ids of stored nodes.
  std::span<const NodeId> of(NodeId node) const noexcept { return nodes_[node].all; }

  // The node's entries whose level is at least `layer`, in the order they
  // were added.
  std::span<const NodeId> of(NodeId node, std::uint64_t layer) const noexcept {
    const Lists& lists = nodes_[node];
    if (layer == 0) return lists.all;
    if (layer > lists.upper.size()) return {};
    return lists.upper[layer - 1];
  }

  // Adds an empty list for the next node. Unchanged when it throws.
  void add_node();
  // Appends `entry`, a node of level `entry_level`, as the node's last entry.
  // Unchanged when it throws.
  void append(NodeId node, NodeId entry, std::uint64_t entry_level);
  // Removes the node's last entry, undoing the latest append to that node;
  // `entry_level` is the level that append was given.
  void drop_last(NodeId node, std::uint64_t entry_level) noexcept;
  // Forgets the lists of every node from `node_count` on.
  void truncate_nodes(std::size_t node_count) noexcept;

 private:
  struct Lists {
    std::vector<NodeId> all;                 // every entry, in insertion order
    std::vector<std::vector<NodeId>> upper;  // [l - 1]: the entries of level >= l
  };
  std::vector<Lists> nodes_;
};

}  // namespace hobrin
