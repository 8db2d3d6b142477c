#pragma once
// One neighbour list per node, each a contiguous slice read as a span. Adding
// an entry to one node's list never moves another node's entries, so linking
// costs amortised O(1) per entry however large the graph grows.
#include <cstddef>
#include <span>
#include <vector>

#include "candidate.hpp"

namespace hobrin {

class NeighbourLists {
 public:
  std::size_t node_count() const noexcept { return lists_.size(); }

  // The node's entries in the order they were added. No bounds check: callers
  // pass ids of stored nodes.
  std::span<const NodeId> of(NodeId node) const noexcept { return lists_[node]; }

  // Adds an empty list for the next node. Unchanged when it throws.
  void add_node();
  // Appends `entry` as the node's last entry. Unchanged when it throws.
  void append(NodeId node, NodeId entry);
  // Removes the node's last entry, undoing the latest append to that node.
  void drop_last(NodeId node) noexcept;
  // Forgets the lists of every node from `node_count` on.
  void truncate_nodes(std::size_t node_count) noexcept;

 private:
  std::vector<std::vector<NodeId>> lists_;  // per node, entries in insertion order
};

}  // namespace hobrin
