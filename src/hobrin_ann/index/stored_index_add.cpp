// Additions: everything that can fail happens first, under the exclusive
// lock and inside a transaction that puts the index back as it was: the
// batch's room, its checks, its metadata; then its rows and nodes are stored.
// Linking, which allocates nothing, runs without the index lock, beside
// searches, which walk through the new nodes but return none of them until
// the batch is published, at once, under the exclusive lock again.
#include <algorithm>
#include <limits>

#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/insert/insert.hpp"

namespace hobrin::ann {
namespace {
constexpr std::uint64_t kMaxId = std::numeric_limits<std::int64_t>::max();
}  // namespace

template <class Store>
std::optional<AddError> StoredIndex<Store>::check_add(std::size_t count,
                                                      const std::int64_t* ids) const noexcept {
  if (count > kMaxNodes - core_.graph.size()) return AddError{AddError::Kind::TooManyVectors};
  if (ids != nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
      if (ids[i] < 0) return AddError{AddError::Kind::NegativeId, ids[i]};
    }
  } else if (next_id_ + (count - 1) > kMaxId) {
    return AddError{AddError::Kind::IdsExhausted, static_cast<std::int64_t>(next_id_ - 1)};
  }
  return std::nullopt;
}

template <class Store>
void StoredIndex<Store>::reserve_for_add(std::size_t count, std::size_t upper_lists, std::size_t passing,
                                         std::size_t labels) {
  // Room needed only until the replaced vectors free their slots is made
  // exactly; the rest grows as usual.
  const std::size_t total = core_.graph.size() + count;
  core_.store.reserve(total - passing);
  core_.graph.reserve(total - passing, upper_lists);
  reserve_for(core_.labels, total - passing);
  if (passing != 0) {
    core_.store.reserve(total, true);
    core_.graph.reserve(total, upper_lists, true);
    reserve_for(core_.labels, total, true);
  }
  core_.nodes_by_label.reserve(core_.nodes_by_label.size() + labels);
}

template <class Store>
void StoredIndex<Store>::link_nodes(std::span<const std::uint32_t> nodes, std::size_t workers,
                                    const Lease& scratch, std::atomic<std::size_t>* progress) {
  auto linked = [progress] {
    if (progress != nullptr) progress->fetch_add(1, std::memory_order_relaxed);
  };
  // Searches may read any list meanwhile, so every insertion takes the link
  // locks, one worker or many. With one worker the graph is the same as
  // without them: no other insertion links to a node before it is placed.
  // The first node of an empty graph becomes its entry point alone.
  if (core_.entry_point == kNoNode && !nodes.empty()) {
    insert_node<Store, true>(core_, scratch[0], nodes.front());
    nodes = nodes.subspan(1);
    linked();
  }
  // One worker is the only writer of lists: it reads them without locks.
  if (workers == 1) {
    for (const std::uint32_t node : nodes) {
      insert_node<Store, true, false>(core_, scratch[0], node);
      linked();
    }
    return;
  }
  parallel_for(nodes.size(), workers, [&](std::size_t worker, std::size_t i) {
    insert_node<Store, true>(core_, scratch[worker], nodes[i]);
    linked();
  });
}

template <class Store>
std::optional<AddError> StoredIndex<Store>::store_batch(AddTransaction<Store>& transaction,
                                                        const Value* values, std::size_t count,
                                                        std::int64_t* ids_out,
                                                        std::span<const MetadataRow> metadata,
                                                        bool replacing) {
  const std::size_t old = core_.graph.size();
  transaction.assign_nodes(count);
  const std::size_t reused = transaction.reused();
  // A reused slot keeps its level: the levels of the freed nodes were drawn
  // as any others, so their spread is unchanged, and one level is drawn per
  // node appended.
  std::vector<std::uint8_t> levels(count - reused);
  std::size_t upper_lists = core_.graph.upper_lists();
  for (auto& level : levels) {
    level = static_cast<std::uint8_t>(draw_level());
    upper_lists += level;
  }
  // The first addition teaches the store how to order dimensions (and to
  // encode them); kept once it succeeds.
  typename Store::FirstBatch learned = core_.store.learn(values, count);
  // Present ids of an upsert free as many slots once it is published.
  std::size_t present = 0;
  for (std::size_t i = 0; replacing && i < count; ++i)
    present += core_.nodes_by_label.find(transaction.id(i)).has_value();
  reserve_for_add(count - reused, upper_lists, std::min(present, count - reused), count - present);
  bool repeated = false;
  if (const auto taken = transaction.first_taken(count, repeated))
    return AddError{repeated ? AddError::Kind::IdRepeated : AddError::Kind::IdPresent, *taken};
  if (core_.options.schema) transaction.record_metadata(metadata, count);

  // From here on nothing allocates: every array has its room.
  if (old == 0) core_.store.adopt(std::move(learned));
  const std::size_t dim = core_.options.dim;
  transaction.nodes_appended();
  // The quantized blocks hold no rows to compare: they are told which change.
  quantized_.rewriting(transaction.nodes().first(reused));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t node = transaction.node(i);
    if (i < reused) {
      core_.store.replace(node, values + i * dim);
      core_.labels[node] = transaction.id(i);
    } else {
      core_.store.append(values + i * dim);
      core_.graph.append(levels[i - reused]);
      core_.labels.push_back(transaction.id(i));
    }
    if (ids_out != nullptr) ids_out[i] = transaction.id(i);
  }
  core_.linking_from = old;
  return std::nullopt;
}

template <class Store>
std::expected<void, AddError> StoredIndex<Store>::insert_batch(const void* rows, std::size_t count,
                                                               const std::int64_t* ids, std::int64_t* ids_out,
                                                               std::span<const MetadataRow> metadata,
                                                               std::size_t threads,
                                                               std::atomic<std::size_t>* progress,
                                                               bool replacing) {
  if (count == 0) return {};
  std::lock_guard writing(writer_);
  std::unique_lock lock(mutex_);
  if (const auto refused = check_add(count, ids)) return std::unexpected(*refused);
  quantized_.changed();
  // Declared after `lock`, so that an undo runs while the index is held.
  AddTransaction<Store> transaction(core_, rng_, ids, next_id_, replacing);
  const std::size_t workers = std::min(resolve_threads(threads), count);
  const Lease scratch = lease_scratch(std::max<std::size_t>(workers, 1), core_.graph.size() + count);
  // An upsert may remove as many nodes as it names, and frees them after.
  std::vector<std::uint32_t> replaced;
  if (replacing) {
    const std::size_t most = std::min(count, core_.graph.size());
    replaced.reserve(most);
    core_.removed.resize(std::max(core_.removed.size(), core_.graph.size()), kLive);
    core_.free_slots.reserve(core_.removed_count + most);
  }
  if (const auto refused =
          store_batch(transaction, static_cast<const Value*>(rows), count, ids_out, metadata, replacing))
    return std::unexpected(*refused);

  lock.unlock();
  try {
    link_nodes(transaction.nodes(), workers, scratch, progress);
  } catch (...) {
    lock.lock();  // the transaction unlinks the batch where searches cannot see it
    throw;
  }
  lock.lock();
  // Published at once: replaced vectors leave as their successors arrive.
  for (std::size_t i = 0; replacing && i < count; ++i) {
    const std::int64_t id = transaction.id(i);
    if (const auto old = core_.nodes_by_label.find(id)) {
      core_.removed[*old] = kRemoved;
      core_.nodes_by_label.erase(id);
      replaced.push_back(*old);
    }
  }
  std::uint64_t next_id = next_id_;
  for (std::size_t i = 0; i < count; ++i)
    next_id = std::max(next_id, static_cast<std::uint64_t>(transaction.id(i)) + 1);
  next_id_ = next_id;
  transaction.commit(count);
  core_.removed_count += replaced.size();
  core_.linking_from = kNoneLinking;
  size_.store(core_.graph.size() - core_.removed_count, std::memory_order_release);
  if (!replaced.empty()) retire(lock, workers, scratch);
  return {};
}

template <class Store>
std::expected<void, AddError> StoredIndex<Store>::add(const void* rows, std::size_t count,
                                                      const std::int64_t* ids, std::int64_t* ids_out,
                                                      std::span<const MetadataRow> metadata,
                                                      std::size_t threads,
                                                      std::atomic<std::size_t>* progress) {
  return insert_batch(rows, count, ids, ids_out, metadata, threads, progress, false);
}

template <class Store>
std::expected<void, AddError> StoredIndex<Store>::upsert(const void* rows, std::size_t count,
                                                         const std::int64_t* ids,
                                                         std::span<const MetadataRow> metadata,
                                                         std::size_t threads,
                                                         std::atomic<std::size_t>* progress) {
  return insert_batch(rows, count, ids, nullptr, metadata, threads, progress, true);
}

#define HOBRIN_ANN_INSTANTIATE_ADD(Store)                                                         \
  template std::expected<void, AddError> StoredIndex<Store>::add(                                 \
      const void*, std::size_t, const std::int64_t*, std::int64_t*, std::span<const MetadataRow>, \
      std::size_t, std::atomic<std::size_t>*);                                                    \
  template std::expected<void, AddError> StoredIndex<Store>::upsert(                              \
      const void*, std::size_t, const std::int64_t*, std::span<const MetadataRow>, std::size_t,   \
      std::atomic<std::size_t>*);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE_ADD)
#undef HOBRIN_ANN_INSTANTIATE_ADD

}  // namespace hobrin::ann
