#pragma once
// An addition to an index in progress. It records what the addition changes
// before the new nodes are linked (the level generator, ids claimed in the id
// table, metadata rows and their values) and, unless committed, undoes all
// of it when it ends: an error returned or an exception thrown anywhere
// before the commit leaves the index as it was. Arrays only grown in
// capacity need no undoing: their contents are kept.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>

#include "hobrin_ann/index/core.hpp"

namespace hobrin::ann {

template <class Store>
class AddTransaction {
 public:
  // `ids` names an id per new node, or is null for `next_id` onwards.
  AddTransaction(IndexCore<Store>& core, std::mt19937_64& rng, const std::int64_t* ids, std::uint64_t next_id)
      : core_(core),
        rng_(rng),
        rng_before_(rng),
        ids_(ids),
        next_id_(next_id),
        nodes_before_(core.graph.size()) {}
  AddTransaction(const AddTransaction&) = delete;
  AddTransaction& operator=(const AddTransaction&) = delete;
  ~AddTransaction() {
    if (!committed_) undo();
  }

  // The id of the addition's i-th node.
  std::int64_t id(std::size_t i) const noexcept {
    return ids_ != nullptr ? ids_[i] : static_cast<std::int64_t>(next_id_ + i);
  }

  // Enters the ids of `count` new nodes in the id table (its room reserved);
  // returns the first id already there, entering none.
  std::optional<std::int64_t> claim_ids(std::size_t count) noexcept {
    for (; claimed_ < count; ++claimed_) {
      const std::int64_t taken = id(claimed_);
      if (core_.nodes_by_label.find(taken)) return taken;
      core_.nodes_by_label.insert(taken, static_cast<std::uint32_t>(nodes_before_ + claimed_));
    }
    return std::nullopt;
  }

  // Records the new nodes' metadata: a row each, or none when `rows` is
  // empty. Throws std::bad_alloc.
  void record_metadata(std::span<const MetadataRow> rows, std::size_t count) {
    metadata_touched_ = true;
    for (std::size_t i = 0; i < count; ++i) {
      const auto node = static_cast<std::uint32_t>(nodes_before_ + i);
      if (rows.empty()) {
        core_.metadata.append_no_row();
      } else {
        core_.metadata.append_row(rows[i]);
        core_.values.append(node, rows[i]);
      }
    }
  }

  // Keeps everything: from here on the addition cannot fail.
  void commit() noexcept { committed_ = true; }

 private:
  void undo() noexcept {
    for (std::size_t i = 0; i < claimed_; ++i) core_.nodes_by_label.erase(id(i));
    if (metadata_touched_) {
      core_.metadata.truncate_nodes(nodes_before_);
      core_.values.truncate(nodes_before_);
    }
    rng_ = rng_before_;
  }

  IndexCore<Store>& core_;
  std::mt19937_64& rng_;
  const std::mt19937_64 rng_before_;  // the generator before this addition's level draws
  const std::int64_t* ids_;           // the caller's ids, or null for consecutive ones
  std::uint64_t next_id_;             // the first consecutive id
  std::size_t nodes_before_;          // nodes in the index before the addition
  std::size_t claimed_ = 0;           // ids entered in the id table so far
  bool metadata_touched_ = false;
  bool committed_ = false;
};

}  // namespace hobrin::ann
