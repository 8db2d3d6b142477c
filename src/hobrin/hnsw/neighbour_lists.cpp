#include "hobrin/hnsw/neighbour_lists.hpp"

#include <limits>
#include <stdexcept>

#include "common/capacity.hpp"
#include "common/fault.hpp"

namespace hobrin {

void NeighbourLists::add_node(std::uint64_t level) {
  if (all_.size() >= std::numeric_limits<NeighbourId>::max()) {
    throw CapacityExceeded("a graph index holds at most 2^32 - 1 vectors");
  }
  check_invariant(level <= std::numeric_limits<std::uint8_t>::max(), "node level above 255");
  // Room in the counts first: growing them changes no count.
  if (named_at_.size() <= level) named_at_.resize(level + 1, 0);
  in_newest_.reset(all_.size() + 1);
  levels_.push_back(static_cast<std::uint8_t>(level));
  try {
    named_.push_back(0);
    try {
      all_.emplace_back();
    } catch (...) {
      named_.pop_back();
      throw;
    }
  } catch (...) {
    levels_.pop_back();
    throw;
  }
}

void NeighbourLists::count_named(NeighbourId node, bool named) noexcept {
  for (std::uint64_t l = 0; l <= levels_[node]; ++l) {
    if (named) {
      ++named_at_[l];
    } else {
      --named_at_[l];
    }
  }
}

void NeighbourLists::append(NodeId node, NodeId entry) {
  const NodeId newest = all_.size() - 1;
  check_invariant(!all_.empty() && node <= newest && entry <= newest && (node == newest || entry == newest),
                  "neighbour entry added that names neither the newest node nor its list");
  List& all = all_[node];
  const auto id = static_cast<NeighbourId>(entry);
  const std::uint64_t entry_level = levels_[entry];
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
  if (first && named_[id]++ == 0) count_named(id, true);
  if (node == newest) in_newest_.insert(entry);
}

void NeighbourLists::drop_last(NodeId node) noexcept {
  if (node + 1 >= all_.size() || all_[node].empty()) return;
  List& all = all_[node];
  const NeighbourId entry = all.back();
  all.pop_back();
  // A copy right before it means this one was not a first occurrence.
  if (!all.empty() && all.back() == entry) return;
  for (std::uint64_t l = 0; l <= levels_[entry] && l < searched_.size(); ++l) {
    if (node < searched_[l].size() && !searched_[l][node].empty()) searched_[l][node].pop_back();
  }
  if (--named_[entry] == 0) count_named(entry, false);
}

void NeighbourLists::truncate_nodes(std::size_t node_count) noexcept {
  if (all_.size() <= node_count) return;
  // What the dropped lists name stops being named by them; then the dropped
  // nodes stop being counted at all.
  if (!searched_.empty()) {
    for (std::size_t node = node_count; node < searched_[0].size(); ++node) {
      for (const NeighbourId entry : searched_[0][node]) {
        if (--named_[entry] == 0) count_named(entry, false);
      }
    }
  }
  for (std::size_t node = node_count; node < all_.size(); ++node) {
    if (named_[node] != 0) count_named(static_cast<NeighbourId>(node), false);
  }
  levels_.resize(node_count);
  named_.resize(node_count);
  while (all_.size() > node_count) all_.pop_back();
  for (auto& lists : searched_) {
    while (lists.size() > node_count) lists.pop_back();
  }
}

}  // namespace hobrin
