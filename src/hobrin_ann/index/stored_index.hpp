#pragma once
// The graph index over one vector store: GraphIndex's implementation. Its
// methods live by job: stored_index_add.cpp (additions), stored_index_search.cpp
// (searches: the locks and the threads; the query itself is search/'s),
// graph_index.cpp (removal, compaction, files, creation).
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <span>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/filters/condition_match.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/index/graph_index.hpp"
#include "hobrin_ann/index/quantized_layer.hpp"
#include "hobrin_ann/index/scratch_pool.hpp"
#include "hobrin_ann/insert/add_transaction.hpp"
#include "hobrin_ann/search/plan.hpp"

namespace hobrin::ann {

// Node ids are 32-bit and kNoNode is reserved.
inline constexpr std::size_t kMaxNodes = kNoNode;

template <class Store>
class StoredIndex final : public GraphIndex {
 public:
  using Value = typename Store::Value;
  using D = typename Store::Distance;
  using Lease = typename ScratchPool<Store>::Lease;

  explicit StoredIndex(const IndexOptions& options)
      : core_(options),
        level_scale_(1.0 / std::log(static_cast<double>(options.m))),
        level_seed_(options.seed ? *options.seed : std::random_device{}()),
        rng_(level_seed_) {}

  const IndexOptions& options() const noexcept override { return core_.options; }
  std::size_t size() const noexcept override { return size_.load(std::memory_order_acquire); }

  bool contains(std::int64_t id) const override {
    std::shared_lock lock(mutex_);
    return core_.nodes_by_label.find(id).has_value();
  }

  void contains_many(const std::int64_t* ids, std::size_t count, bool* found) const override {
    std::shared_lock lock(mutex_);
    for (std::size_t i = 0; i < count; ++i) found[i] = core_.nodes_by_label.find(ids[i]).has_value();
  }

  std::optional<std::size_t> get(const std::int64_t* ids, std::size_t count, void* out) const override {
    std::shared_lock lock(mutex_);
    Value* rows = static_cast<Value*>(out);
    for (std::size_t i = 0; i < count; ++i) {
      const auto node = core_.nodes_by_label.find(ids[i]);
      if (!node) return i;
      core_.store.copy_out(*node, rows + i * core_.options.dim);
    }
    return std::nullopt;
  }

  std::size_t memory_bytes() const override {
    std::shared_lock lock(mutex_);
    return sizeof(*this) + core_.store.bytes() + core_.graph.bytes() +
           core_.labels.capacity() * sizeof(std::int64_t) + core_.nodes_by_label.bytes() +
           core_.removed.capacity() + core_.free_slots.capacity() * sizeof(std::uint32_t) +
           quantized_.bytes();
  }

  std::optional<std::size_t> remove(const std::int64_t* ids, std::size_t count, std::size_t threads) override;
  std::expected<void, AddError> upsert(const void* rows, std::size_t count, const std::int64_t* ids,
                                       std::span<const MetadataRow> metadata, std::size_t threads,
                                       std::atomic<std::size_t>* progress) override;
  std::optional<std::size_t> update_metadata(const std::int64_t* ids, std::size_t count,
                                             std::span<const MetadataRow> rows) override;
  std::unique_ptr<GraphIndex> compact(std::size_t threads) const override;

  // Waits for a running addition to finish (its lists are still changing,
  // and the file holds whole additions only), then writes beside searches.
  void save(ByteSink& sink, std::uint64_t ef_search) const override {
    std::lock_guard writing(writer_);
    std::shared_lock lock(mutex_);
    write_index(core_, IndexState{level_seed_, next_id_, ef_search}, sink);
  }

  bool read_only() const noexcept override { return core_.mapping != nullptr; }
  std::optional<std::string> mapping_changed() const override {
    return core_.mapping ? core_.mapping->changed() : std::nullopt;
  }

  // Fills this new, empty index from the sections after `header`.
  void restore(ByteSource& source, const FileHeader& header, const LoadOptions& options);

  std::expected<void, AddError> add(const void* rows, std::size_t count, const std::int64_t* ids,
                                    std::int64_t* ids_out, std::span<const MetadataRow> metadata,
                                    std::size_t threads, std::atomic<std::size_t>* progress) override;

  std::expected<void, FilterRefusal> search(const SearchRequest& request) const override;
  std::optional<FilterRefusal> check_filter(const FilterQuery& query) const override {
    std::shared_lock lock(mutex_);
    return refusal_of(query, core_.options.schema, core_.values);
  }

 private:
  int draw_level() {
    const double u = 1.0 - std::generate_canonical<double, 53>(rng_);  // in (0, 1]
    return std::min(static_cast<int>(-std::log(u) * level_scale_), kMaxLevel);
  }

  // The unfiltered walks of an index with quantization Graph, over its blocks.
  void search_quantized(const SearchRequest& request, const SearchPlan& plan, std::size_t workers,
                        const Lease& scratch) const;

  // Scratch for `workers` threads over `nodes` nodes; throws std::bad_alloc.
  Lease lease_scratch(std::size_t workers, std::size_t nodes) const {
    return scratch_.lease(core_.store, workers, nodes, 2 * core_.options.m, core_.options.ef_construction);
  }

  // Refuses an addition that would pass a limit, before anything changes.
  std::optional<AddError> check_add(std::size_t count, const std::int64_t* ids) const noexcept;
  // Under the exclusive lock: checks the batch, gives every array room for
  // it, records its metadata and stores its rows and nodes (unlinked, not
  // yet returnable). Throws std::bad_alloc; `transaction` undoes it all.
  std::optional<AddError> store_batch(AddTransaction<Store>& transaction, const Value* values,
                                      std::size_t count, std::int64_t* ids_out,
                                      std::span<const MetadataRow> metadata, bool replacing);
  // Room for `count` more nodes, with `upper_lists` upper-layer lists in all,
  // the last `passing` of them exactly (see reserve_for), and `labels` more
  // ids, keeping the contents; throws std::bad_alloc.
  void reserve_for_add(std::size_t count, std::size_t upper_lists, std::size_t passing, std::size_t labels);
  // Links `nodes` into the graph.
  void link_nodes(std::span<const std::uint32_t> nodes, std::size_t workers, const Lease& scratch,
                  std::atomic<std::size_t>* progress);
  // add, or upsert when `replacing`.
  std::expected<void, AddError> insert_batch(const void* rows, std::size_t count, const std::int64_t* ids,
                                             std::int64_t* ids_out, std::span<const MetadataRow> metadata,
                                             std::size_t threads, std::atomic<std::size_t>* progress,
                                             bool replacing);
  // Takes the removed nodes (kRemoved, their ids already out of the table)
  // out of the graph: moves the entry point off them, relinks the lists that
  // lead to them without the exclusive lock (`lock` is held on entry and on
  // return), then frees their slots.
  void retire(std::unique_lock<std::shared_mutex>& lock, std::size_t workers, const Lease& scratch);
  // Moves the entry point to a live node of the highest level, if it is removed.
  void replace_entry_point() noexcept;
  // Frees the removed nodes that no live list leads to (after a repair, or a
  // load): their lists emptied, their values out of the value index.
  void free_unlinked();

  // One writer at a time: held by add and remove for their whole run and by
  // save, so an addition's linking never meets another change of the graph
  // and a file never holds half an addition. Taken before mutex_.
  mutable std::mutex writer_;
  // Exclusive while anything searches read changes: an addition takes it
  // twice, briefly, to store its batch (room reserved for all of it, so that
  // no array moves later) and to publish it, and links in between without
  // it, beside searches (the link locks and entry_mutex order the two). A
  // removal takes it throughout. Shared for everything else. The binding
  // layer lets add and remove in under its shared access (they may then run
  // beside searches of other threads), because these locks order them.
  mutable std::shared_mutex mutex_;
  // Mutable so that const searches can hand it to the walks, which
  // insertion shares; a search reads link lists in place, without locks,
  // unless an addition is linking (core_.linking()).
  mutable IndexCore<Store> core_;
  const double level_scale_;         // mL = 1 / ln(m)
  std::uint64_t level_seed_;         // rng_'s seed, from the options or the system
  std::mt19937_64 rng_;              // level draws: exactly one per node added
  std::uint64_t next_id_ = 0;        // one above the largest id ever added (up to 2^63)
  std::atomic<std::size_t> size_{0};
  ScratchPool<Store> scratch_;       // scratch left by finished calls
  QuantizedLayer quantized_;         // the blocks, where the quantization is Graph
};

}  // namespace hobrin::ann
