// Removals and metadata updates. A removal publishes at once, under the
// exclusive lock: its ids leave the table and its nodes are never returned
// again. The graph is then repaired without that lock, beside searches, as an
// addition links: every live list that leads to a removed node is chosen
// anew, under its link lock; a live node that no walk from the entry point
// then reaches gets in-links (reconnect.hpp). Last, under the exclusive lock
// again, the removed nodes, which nothing leads to any more, are freed.
#include <algorithm>
#include <new>

#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/insert/reconnect.hpp"
#include "hobrin_ann/insert/repair.hpp"

namespace hobrin::ann {

template <class Store>
void StoredIndex<Store>::replace_entry_point() noexcept {
  if (core_.entry_point == kNoNode || !core_.is_removed(core_.entry_point)) return;
  std::uint32_t best = kNoNode;
  int top = -1;
  for (std::size_t node = 0; node < core_.graph.size(); ++node) {
    const auto n = static_cast<std::uint32_t>(node);
    if (!core_.is_removed(n) && core_.graph.level(n) > top) {
      best = n;
      top = core_.graph.level(n);
    }
  }
  std::lock_guard guard(core_.entry_mutex);
  core_.entry_point = best;
  core_.top_level = top;
}

template <class Store>
void StoredIndex<Store>::free_unlinked() {
  const std::size_t nodes = core_.graph.size();
  if (core_.removed_count == core_.free_slots.size()) return;
  // A removed node that a live list still leads to (kept by a file written
  // before removals repaired the graph) stays as it is.
  std::vector<std::uint8_t> led(nodes, 0);
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto n = static_cast<std::uint32_t>(node);
    if (core_.is_removed(n)) continue;
    for (int level = 0; level <= core_.graph.level(n); ++level) {
      for (const std::uint32_t to : core_.graph.links(n, level)) led[to] = 1;
    }
  }
  core_.free_slots.reserve(core_.removed_count);
  const std::size_t schema = core_.options.schema ? core_.options.schema->size() : 0;
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto n = static_cast<std::uint32_t>(node);
    if (core_.removed.size() <= node || core_.removed[node] != kRemoved) continue;
    if (led[node] != 0 || n == core_.entry_point) continue;
    core_.graph.clear_links(n);
    if (schema != 0) {
      if (const auto row = core_.metadata.row(node, schema)) core_.values.erase(n, *row);
    }
    core_.removed[node] = kFree;
    core_.free_slots.push_back(n);
  }
}

template <class Store>
void StoredIndex<Store>::retire(std::unique_lock<std::shared_mutex>& lock, std::size_t workers,
                                const Lease& scratch) {
  replace_entry_point();
  // Lists change under searches from here: they read them under locks.
  core_.linking_from = core_.graph.size();
  lock.unlock();
  const std::size_t nodes = core_.graph.size();
  auto repair = [&](std::size_t worker, std::size_t node) {
    const auto n = static_cast<std::uint32_t>(node);
    if (!core_.is_removed(n)) repair_node(core_, scratch[worker], n);
  };
  try {
    parallel_for(nodes, workers, repair);
  } catch (...) {
    // Nothing in a repair throws but the threads' start: finish on this one.
    for (std::size_t node = 0; node < nodes; ++node) repair(0, node);
  }
  try {
    detail::LayerWalk walk;
    walk.reached.resize(nodes);
    walk.queue.reserve(nodes);
    reconnect_missed(core_, scratch[0], walk);
  } catch (const std::bad_alloc&) {
    // Without room for the walk the lists stay as repaired: still sound.
  }
  lock.lock();
  core_.linking_from = kNoneLinking;
  // Every live list is repaired: no removed node is led to any more.
  const std::size_t schema = core_.options.schema ? core_.options.schema->size() : 0;
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto n = static_cast<std::uint32_t>(node);
    if (core_.removed.size() <= node || core_.removed[node] != kRemoved) continue;
    core_.graph.clear_links(n);
    if (schema != 0) {
      if (const auto row = core_.metadata.row(node, schema)) core_.values.erase(n, *row);
    }
    core_.removed[node] = kFree;
    core_.free_slots.push_back(n);  // room reserved by the caller
  }
}

template <class Store>
std::optional<std::size_t> StoredIndex<Store>::remove(const std::int64_t* ids, std::size_t count,
                                                      std::size_t threads) {
  if (count == 0) return std::nullopt;
  // Waits for a running addition to finish, then holds the index exclusively.
  std::lock_guard writing(writer_);
  std::unique_lock lock(mutex_);
  const std::size_t nodes = core_.graph.size();
  // Everything that allocates comes first, while nothing has changed.
  core_.removed.resize(std::max(core_.removed.size(), nodes), kLive);
  core_.free_slots.reserve(core_.removed_count + std::min(count, nodes));
  const std::size_t workers = std::max<std::size_t>(1, resolve_threads(threads));
  const Lease scratch = lease_scratch(workers, nodes);
  // Marks first, undone at the first id that is not there; the ids leave the
  // table only once all are found.
  std::vector<std::uint32_t> marked;
  marked.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto node = core_.nodes_by_label.find(ids[i]);
    if (!node || core_.removed[*node] != kLive) {
      for (const std::uint32_t undone : marked) core_.removed[undone] = kLive;
      return i;
    }
    core_.removed[*node] = kRemoved;
    marked.push_back(*node);
  }
  for (std::size_t i = 0; i < count; ++i) core_.nodes_by_label.erase(ids[i]);
  quantized_.changed();
  core_.removed_count += count;
  size_.store(core_.graph.size() - core_.removed_count, std::memory_order_release);
  retire(lock, workers, scratch);
  return std::nullopt;
}

template <class Store>
std::optional<std::size_t> StoredIndex<Store>::update_metadata(const std::int64_t* ids, std::size_t count,
                                                               std::span<const MetadataRow> rows) {
  if (count == 0 || !core_.options.schema) return std::nullopt;
  const std::size_t schema = core_.options.schema->size();
  std::lock_guard writing(writer_);
  std::unique_lock lock(mutex_);
  std::vector<std::uint32_t> nodes(count);
  LabelMap seen;
  seen.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto node = core_.nodes_by_label.find(ids[i]);
    if (!node || seen.insert_new(ids[i], static_cast<std::uint32_t>(i))) return i;
    nodes[i] = *node;
  }
  // New values enter the value index first, then the rows are copied; old
  // values leave last. Should anything fail, the new values leave again and
  // the rows copied so far are put back.
  std::vector<MetadataRow> old(count);
  std::size_t entered = 0, copied = 0;
  try {
    for (; entered < count; ++entered) {
      if (const auto row = core_.metadata.row(nodes[entered], schema))
        old[entered].assign(row->begin(), row->end());
      core_.values.insert(nodes[entered], rows[entered]);
    }
    for (; copied < count; ++copied) core_.metadata.set_row(nodes[copied], rows[copied]);
  } catch (...) {
    for (std::size_t i = 0; i < std::min(count, entered + 1); ++i)
      core_.values.erase(nodes[i], rows[i], old[i]);
    for (std::size_t i = 0; i < copied; ++i) {
      if (old[i].empty())
        core_.metadata.drop_row(nodes[i]);
      else
        core_.metadata.set_row(nodes[i], old[i]);
    }
    throw;
  }
  for (std::size_t i = 0; i < count; ++i) core_.values.erase(nodes[i], old[i], rows[i]);
  return std::nullopt;
}

#define HOBRIN_ANN_INSTANTIATE_REMOVE(Store)                                                                \
  template std::optional<std::size_t> StoredIndex<Store>::remove(const std::int64_t*, std::size_t,          \
                                                                 std::size_t);                              \
  template std::optional<std::size_t> StoredIndex<Store>::update_metadata(const std::int64_t*, std::size_t, \
                                                                          std::span<const MetadataRow>);    \
  template void StoredIndex<Store>::free_unlinked();
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE_REMOVE)
#undef HOBRIN_ANN_INSTANTIATE_REMOVE

}  // namespace hobrin::ann
