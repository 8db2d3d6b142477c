#include "hnsw/neighbour_lists.hpp"

#include "fault.hpp"

namespace hobrin {

void NeighbourLists::add_node() { nodes_.emplace_back(); }

void NeighbourLists::append(NodeId node, NodeId entry, std::uint64_t entry_level) {
  check_invariant(node < nodes_.size(), "neighbour entry added to a node that does not exist");
  Lists& lists = nodes_[node];
  // Growing the table of subsequences leaves empty ones behind if a later
  // step throws; an empty subsequence reads the same as a missing one.
  if (lists.upper.size() < entry_level) lists.upper.resize(entry_level);
  lists.all.push_back(entry);
  std::uint64_t added = 0;
  try {
    for (; added < entry_level; ++added) lists.upper[added].push_back(entry);
  } catch (...) {
    while (added > 0) lists.upper[--added].pop_back();
    lists.all.pop_back();
    throw;
  }
}

void NeighbourLists::drop_last(NodeId node, std::uint64_t entry_level) noexcept {
  if (node >= nodes_.size() || nodes_[node].all.empty()) return;
  Lists& lists = nodes_[node];
  lists.all.pop_back();
  for (std::uint64_t l = 0; l < entry_level && l < lists.upper.size(); ++l) {
    if (!lists.upper[l].empty()) lists.upper[l].pop_back();
  }
}

void NeighbourLists::truncate_nodes(std::size_t node_count) noexcept {
  while (nodes_.size() > node_count) nodes_.pop_back();
}

}  // namespace hobrin
