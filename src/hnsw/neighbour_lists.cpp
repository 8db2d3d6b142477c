#include "hnsw/neighbour_lists.hpp"

#include <limits>
#include <stdexcept>

#include "fault.hpp"

namespace hobrin {

void NeighbourLists::add_node() {
  if (nodes_.size() >= std::numeric_limits<NeighbourId>::max()) {
    throw std::length_error("a graph index holds at most 2^32 - 1 nodes");
  }
  in_newest_.reset(nodes_.size() + 1);
  nodes_.emplace_back();
}

void NeighbourLists::append(NodeId node, NodeId entry, std::uint64_t entry_level) {
  const NodeId newest = nodes_.size() - 1;
  check_invariant(!nodes_.empty() && node <= newest && (node == newest || entry == newest),
                  "neighbour entry added that names neither the newest node nor its list");
  Lists& lists = nodes_[node];
  const auto id = static_cast<NeighbourId>(entry);
  // An older list receives only entries naming the newest node, all during
  // that node's linking, so its copies of one entry are adjacent.
  const bool first = node == newest ? !in_newest_.contains(entry)
                                    : lists.all.empty() || lists.all.back() != id;
  // Growing the table of layers leaves empty ones behind if a later step
  // throws; an empty subsequence reads the same as a missing one.
  if (first && lists.upper.size() < entry_level) lists.upper.resize(entry_level);
  lists.all.push_back(id);
  bool in_first = false;
  std::uint64_t added = 0;
  try {
    if (first) {
      lists.first.push_back(id);
      in_first = true;
      for (; added < entry_level; ++added) lists.upper[added].push_back(id);
    }
  } catch (...) {
    while (added > 0) lists.upper[--added].pop_back();
    if (in_first) lists.first.pop_back();
    lists.all.pop_back();
    throw;
  }
  if (node == newest) in_newest_.insert(entry);
}

void NeighbourLists::drop_last(NodeId node, std::uint64_t entry_level) noexcept {
  if (node + 1 >= nodes_.size() || nodes_[node].all.empty()) return;
  Lists& lists = nodes_[node];
  const NeighbourId entry = lists.all.back();
  lists.all.pop_back();
  // A copy right before it means this one was not a first occurrence.
  if (!lists.all.empty() && lists.all.back() == entry) return;
  if (!lists.first.empty()) lists.first.pop_back();
  for (std::uint64_t l = 0; l < entry_level && l < lists.upper.size(); ++l) {
    if (!lists.upper[l].empty()) lists.upper[l].pop_back();
  }
}

void NeighbourLists::truncate_nodes(std::size_t node_count) noexcept {
  while (nodes_.size() > node_count) nodes_.pop_back();
}

}  // namespace hobrin
