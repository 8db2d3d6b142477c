#include "hnsw/neighbour_lists.hpp"

#include "fault.hpp"

namespace hobrin {

void NeighbourLists::add_node() { lists_.emplace_back(); }

void NeighbourLists::append(NodeId node, NodeId entry) {
  check_invariant(node < lists_.size(), "neighbour entry added to a node that does not exist");
  lists_[node].push_back(entry);
}

void NeighbourLists::drop_last(NodeId node) noexcept {
  if (node < lists_.size() && !lists_[node].empty()) lists_[node].pop_back();
}

void NeighbourLists::truncate_nodes(std::size_t node_count) noexcept {
  while (lists_.size() > node_count) lists_.pop_back();
}

}  // namespace hobrin
