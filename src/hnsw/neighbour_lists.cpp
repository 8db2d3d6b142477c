#include "hnsw/neighbour_lists.hpp"

#include <limits>
#include <stdexcept>

#include "fault.hpp"

namespace hobrin {

void NeighbourLists::add_node() {
  if (all_.size() >= std::numeric_limits<NeighbourId>::max()) {
    throw std::length_error("a graph index holds at most 2^32 - 1 nodes");
  }
  in_newest_.reset(all_.size() + 1);
  all_.emplace_back();
}

void NeighbourLists::append(NodeId node, NodeId entry, std::uint64_t entry_level) {
  const NodeId newest = all_.size() - 1;
  check_invariant(!all_.empty() && node <= newest && (node == newest || entry == newest),
                  "neighbour entry added that names neither the newest node nor its list");
  List& all = all_[node];
  const auto id = static_cast<NeighbourId>(entry);
  // An older list receives only entries naming the newest node, all during
  // that node's linking, so its copies of one entry are adjacent.
  const bool first = node == newest ? !in_newest_.contains(entry) : all.empty() || all.back() != id;
  if (first) {
    // Room for the node in every layer the entry reaches. Growing leaves
    // empty lists behind if a later step throws; an empty list reads the same
    // as a missing one.
    if (searched_.size() <= entry_level) searched_.resize(entry_level + 1);
    for (std::uint64_t l = 0; l <= entry_level; ++l) {
      if (searched_[l].size() <= node) searched_[l].resize(node + 1);
    }
  }
  all.push_back(id);
  std::uint64_t added = 0;
  try {
    for (; first && added <= entry_level; ++added) searched_[added][node].push_back(id);
  } catch (...) {
    while (added > 0) searched_[--added][node].pop_back();
    all.pop_back();
    throw;
  }
  if (node == newest) in_newest_.insert(entry);
}

void NeighbourLists::drop_last(NodeId node, std::uint64_t entry_level) noexcept {
  if (node + 1 >= all_.size() || all_[node].empty()) return;
  List& all = all_[node];
  const NeighbourId entry = all.back();
  all.pop_back();
  // A copy right before it means this one was not a first occurrence.
  if (!all.empty() && all.back() == entry) return;
  for (std::uint64_t l = 0; l <= entry_level && l < searched_.size(); ++l) {
    if (node < searched_[l].size() && !searched_[l][node].empty()) searched_[l][node].pop_back();
  }
}

void NeighbourLists::truncate_nodes(std::size_t node_count) noexcept {
  while (all_.size() > node_count) all_.pop_back();
  for (auto& lists : searched_) {
    while (lists.size() > node_count) lists.pop_back();
  }
}

}  // namespace hobrin
