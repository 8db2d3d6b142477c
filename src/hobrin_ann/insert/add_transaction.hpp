#pragma once
// An addition to an index in progress. It records what the addition changes
// (the level generator, metadata rows and their values, the appended rows and
// nodes, the links made to them, the entry point) and, unless committed,
// undoes all of it when it ends: an error returned or an exception thrown
// anywhere before the commit leaves the index as it was. Arrays only grown
// in capacity need no undoing: their contents are kept.
//
// The batch's ids enter the id table only when the addition is published,
// so that nothing finds them while the batch is being linked; until then
// they are only checked against it. The caller holds the index exclusively
// whenever the transaction changes or undoes anything searches read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "hobrin_ann/core/core.hpp"

namespace hobrin::ann {

template <class Store>
class AddTransaction {
 public:
  // `ids` names an id per new node, or is null for `next_id` onwards. When
  // `replacing` (an upsert), ids in the table are not refused: their nodes
  // are replaced when the batch is published.
  AddTransaction(IndexCore<Store>& core, std::mt19937_64& rng, const std::int64_t* ids, std::uint64_t next_id,
                 bool replacing = false)
      : core_(core),
        rng_(rng),
        rng_before_(rng),
        ids_(ids),
        next_id_(next_id),
        replacing_(replacing),
        nodes_before_(core.graph.size()),
        entry_before_(core.entry_point),
        top_before_(core.top_level) {}
  AddTransaction(const AddTransaction&) = delete;
  AddTransaction& operator=(const AddTransaction&) = delete;
  ~AddTransaction() {
    if (!committed_) undo();
  }

  // The id of the addition's i-th node.
  std::int64_t id(std::size_t i) const noexcept {
    return ids_ != nullptr ? ids_[i] : static_cast<std::int64_t>(next_id_ + i);
  }
  // The addition's i-th node: free slots first (the last freed first), then
  // new nodes after the stored ones.
  std::uint32_t node(std::size_t i) const noexcept { return nodes_[i]; }
  std::span<const std::uint32_t> nodes() const noexcept { return nodes_; }
  // How many of the `count` new vectors go to free slots.
  std::size_t reused() const noexcept { return reused_; }

  // Chooses the nodes of `count` new vectors. Throws std::bad_alloc.
  void assign_nodes(std::size_t count) {
    const auto& free = core_.free_slots;
    reused_ = std::min(count, free.size());
    nodes_.resize(count);
    for (std::size_t i = 0; i < reused_; ++i) nodes_[i] = free[free.size() - 1 - i];
    for (std::size_t i = reused_; i < count; ++i)
      nodes_[i] = static_cast<std::uint32_t>(nodes_before_ + (i - reused_));
  }

  // The first of the `count` new ids that repeats an earlier one of the
  // batch (repeated), or, unless replacing, is in the id table; nothing is
  // entered. Throws std::bad_alloc.
  std::optional<std::int64_t> first_taken(std::size_t count, bool& repeated) const {
    // Consecutive ids cannot repeat one another: only the table is asked.
    LabelMap batch;
    if (ids_ != nullptr) batch.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t taken = id(i);
      repeated = false;
      if (!replacing_ && core_.nodes_by_label.find(taken)) return taken;
      if (ids_ == nullptr) continue;
      repeated = true;
      if (batch.find(taken)) return taken;
      batch.insert(taken, static_cast<std::uint32_t>(i));
    }
    return std::nullopt;
  }

  // Records the new nodes' metadata: a row each, or none when `rows` is
  // empty. New nodes first, in node order, then reused slots. Throws
  // std::bad_alloc.
  void record_metadata(std::span<const MetadataRow> rows, std::size_t count) {
    metadata_touched_ = true;
    rows_ = rows;
    for (std::size_t i = reused_; i < count; ++i) {
      if (rows.empty()) {
        core_.metadata.append_no_row();
      } else {
        core_.metadata.append_row(rows[i]);
        core_.values.append(nodes_[i], rows[i]);
      }
    }
    for (std::size_t i = 0; i < reused_; ++i) {
      rows_recorded_ = i + 1;
      if (rows.empty()) {
        core_.metadata.drop_row(nodes_[i]);
      } else {
        core_.metadata.set_row(nodes_[i], rows[i]);
        core_.values.insert(nodes_[i], rows[i]);
      }
    }
  }

  // The new nodes are stored (rows, levels, labels): an undo also takes
  // them out of the graph again.
  void nodes_appended() noexcept { appended_ = true; }

  // Enters the ids of `count` new nodes, checked by first_taken(), in the id
  // table (its room reserved), takes the reused slots off the free list and
  // keeps everything: the batch is published. Replaced ids must have left
  // the table first.
  void commit(std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) core_.nodes_by_label.insert(id(i), nodes_[i]);
    for (std::size_t i = 0; i < reused_; ++i) core_.removed[nodes_[i]] = kLive;
    core_.free_slots.resize(core_.free_slots.size() - reused_);
    core_.removed_count -= reused_;
    committed_ = true;
  }

 private:
  void undo() noexcept {
    if (appended_) {
      unlink_new_nodes();
      for (std::size_t i = 0; i < reused_; ++i) core_.graph.clear_links(nodes_[i]);
      core_.entry_point = entry_before_;
      core_.top_level = top_before_;
      core_.store.truncate(nodes_before_);
      if (nodes_before_ == 0) core_.store.forget();  // the first addition teaches the store
      core_.graph.truncate(nodes_before_);
      core_.labels.resize(nodes_before_);
      core_.linking_from = kNoneLinking;
    }
    if (metadata_touched_) {
      for (std::size_t i = 0; i < rows_recorded_; ++i) {
        if (!rows_.empty()) core_.values.erase(nodes_[i], rows_[i]);
        core_.metadata.drop_row(nodes_[i]);
      }
      core_.metadata.truncate_nodes(nodes_before_);
      core_.values.truncate(nodes_before_);
    }
    rng_ = rng_before_;
  }

  // Drops every link from an older node to a new one or a reused slot,
  // keeping the order of the rest. A link the batch pushed out of a full
  // list stays lost: the list keeps its other, nearer neighbours, which is a
  // sound graph.
  void unlink_new_nodes() noexcept {
    auto is_new = [this](std::uint32_t to) { return to >= nodes_before_ || core_.is_free(to); };
    for (std::size_t node = 0; node < nodes_before_; ++node) {
      const auto n = static_cast<std::uint32_t>(node);
      for (int level = 0; level <= core_.graph.level(n); ++level) {
        const auto slots = core_.graph.slots(n, level);
        const auto kept = std::remove_if(slots.begin(), slots.end(), is_new);
        std::fill(kept, slots.end(), kNoNode);
      }
    }
  }

  IndexCore<Store>& core_;
  std::mt19937_64& rng_;
  const std::mt19937_64 rng_before_;  // the generator before this addition's level draws
  const std::int64_t* ids_;           // the caller's ids, or null for consecutive ones
  std::uint64_t next_id_;             // the first consecutive id
  bool replacing_;                    // ids in the table are replaced, not refused
  std::size_t nodes_before_;          // nodes in the index before the addition
  std::uint32_t entry_before_;        // the entry point and top level before it
  int top_before_;
  std::vector<std::uint32_t> nodes_;  // per new vector: its node
  std::size_t reused_ = 0;            // nodes_[0, reused_) are free slots
  std::span<const MetadataRow> rows_;  // the metadata rows recorded
  std::size_t rows_recorded_ = 0;     // reused slots whose metadata was (partly) recorded
  bool metadata_touched_ = false;
  bool appended_ = false;
  bool committed_ = false;
};

}  // namespace hobrin::ann
