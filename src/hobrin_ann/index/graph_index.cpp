#include "hobrin_ann/index/graph_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <stdexcept>
#include <vector>

#include "common/fault.hpp"
#include "hobrin_ann/build/insert.hpp"
#include "hobrin_ann/filters/match_set.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/index/core.hpp"
#include "hobrin_ann/index/parallel_for.hpp"
#include "hobrin_ann/search/exact_scan.hpp"
#include "hobrin_ann/search/search_layer.hpp"
#include "hobrin_ann/store/dimension_order.hpp"

namespace hobrin::ann {
namespace {

// Node ids are 32-bit and kNoNode is reserved.
constexpr std::size_t kMaxNodes = kNoNode;
// Levels above this would need more vectors than a 32-bit id can name.
constexpr int kMaxLevel = 30;
static_assert(kMaxLevel == kMaxFileLevel, "index files hold the levels an index may have");
constexpr std::uint64_t kMaxId = std::numeric_limits<std::int64_t>::max();

template <class T>
class TypedIndex final : public GraphIndex {
 public:
  explicit TypedIndex(const IndexOptions& options)
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
    T* rows = static_cast<T*>(out);
    for (std::size_t i = 0; i < count; ++i) {
      const auto node = core_.nodes_by_label.find(ids[i]);
      if (!node) return i;
      copy_out(*node, rows + i * core_.options.dim);
    }
    return std::nullopt;
  }

  std::size_t memory_bytes() const override {
    std::shared_lock lock(mutex_);
    return sizeof(*this) + core_.vectors.bytes() + core_.graph.bytes() +
           core_.labels.capacity() * sizeof(std::int64_t) + core_.nodes_by_label.bytes() +
           core_.removed.capacity();
  }

  std::optional<std::size_t> remove(const std::int64_t* ids, std::size_t count) override;
  std::unique_ptr<GraphIndex> compact(std::size_t threads) const override;

  void save(ByteSink& sink, std::uint64_t ef_search) const override {
    std::shared_lock lock(mutex_);
    write_index(core_, IndexState{level_seed_, next_id_, ef_search}, sink);
  }

  // Fills this new, empty index from the sections after `header`.
  void restore(ByteSource& source, const FileHeader& header) {
    read_body(source, header, core_);
    // The generator has drawn one level per node since it was seeded.
    level_seed_ = header.state.level_seed;
    rng_.seed(level_seed_);
    rng_.discard(header.nodes);
    next_id_ = header.state.next_id;
    size_.store(header.nodes - header.removed, std::memory_order_release);
  }

  std::expected<void, AddError> add(const void* rows, std::size_t count, const std::int64_t* ids,
                                    std::int64_t* ids_out, std::span<const MetadataRow> metadata,
                                    std::size_t threads, std::atomic<std::size_t>* progress) override;

  std::expected<void, SearchError> search(const SearchRequest& request) const override;

 private:
  using ScratchSet = std::vector<std::unique_ptr<Scratch<T>>>;

  int draw_level() {
    const double u = 1.0 - std::generate_canonical<double, 53>(rng_);  // in (0, 1]
    return std::min(static_cast<int>(-std::log(u) * level_scale_), kMaxLevel);
  }

  // Scratch for `workers` threads over `nodes` nodes, from the pool when it
  // has some; throws std::bad_alloc.
  ScratchSet acquire_scratch(std::size_t workers, std::size_t nodes) const {
    ScratchSet set;
    set.reserve(workers);
    {
      std::lock_guard lock(pool_mutex_);
      while (set.size() < workers && !pool_.empty()) {
        set.push_back(std::move(pool_.back()));
        pool_.pop_back();
      }
    }
    try {
      while (set.size() < workers) set.push_back(std::make_unique<Scratch<T>>(core_.options.dim));
      for (auto& scratch : set) scratch->prepare(nodes, 2 * core_.options.m, core_.options.ef_construction);
    } catch (...) {
      release_scratch(set);
      throw;
    }
    return set;
  }

  void release_scratch(ScratchSet& set) const noexcept {
    std::lock_guard lock(pool_mutex_);
    try {
      for (auto& scratch : set) pool_.push_back(std::move(scratch));
    } catch (...) {
      // A full pool only means the scratch is freed instead of kept.
    }
    set.clear();
  }

  // Writes a query's results from its max-heap of best nodes (which it sorts).
  void emit(std::vector<Scored<T>>& best, const SearchRequest& request, std::size_t query_index) const;
  // Scans for queries first .. first + count - 1 together.
  void scan_block(Scratch<T>& s, const SearchRequest& request, std::size_t first, std::size_t count,
                  const MatchSet* allowed) const;
  void search_one(Scratch<T>& s, const SearchRequest& request, std::size_t query_index,
                  const MatchSet* allowed) const;

  // The node's vector as it was given: dimensions back in the caller's order.
  void copy_out(std::uint32_t node, T* out) const noexcept {
    const T* stored = core_.vectors.row(node);
    if (core_.dim_order.empty()) {
      std::copy_n(stored, core_.options.dim, out);
    } else {
      for (std::size_t j = 0; j < core_.options.dim; ++j) out[core_.dim_order[j]] = stored[j];
    }
  }

  mutable std::shared_mutex mutex_;  // exclusive for add, shared for everything else
  mutable IndexCore<T> core_;        // searches lock link lists through it
  const double level_scale_;         // mL = 1 / ln(m)
  std::uint64_t level_seed_;         // rng_'s seed, from the options or the system
  std::mt19937_64 rng_;              // level draws: exactly one per node added
  std::uint64_t next_id_ = 0;        // one above the largest id ever added (up to 2^63)
  std::atomic<std::size_t> size_{0};
  mutable std::mutex pool_mutex_;
  mutable ScratchSet pool_;          // scratch left by finished calls
};

template <class T>
std::expected<void, AddError> TypedIndex<T>::add(const void* rows, std::size_t count, const std::int64_t* ids,
                                                 std::int64_t* ids_out, std::span<const MetadataRow> metadata,
                                                 std::size_t threads, std::atomic<std::size_t>* progress) {
  if (count == 0) return {};
  std::unique_lock lock(mutex_);
  const std::size_t old = core_.graph.size();
  if (count > kMaxNodes - old) return std::unexpected(AddError{AddError::Kind::TooManyVectors});
  if (ids != nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
      if (ids[i] < 0) return std::unexpected(AddError{AddError::Kind::NegativeId, ids[i]});
    }
  } else if (next_id_ + (count - 1) > kMaxId) {
    return std::unexpected(AddError{AddError::Kind::IdsExhausted, static_cast<std::int64_t>(next_id_ - 1)});
  }

  // Everything that can fail comes first, while the index is still as it was.
  const std::mt19937_64 rng_before = rng_;
  std::vector<std::uint8_t> levels(count);
  std::size_t upper_lists = core_.graph.upper_lists();
  for (auto& level : levels) {
    level = static_cast<std::uint8_t>(draw_level());
    upper_lists += level;
  }
  const std::size_t total = old + count;
  const std::size_t workers = std::min(resolve_threads(threads), count);
  ScratchSet scratch;
  const T* values = static_cast<const T*>(rows);
  const std::size_t dim = core_.options.dim;
  std::vector<std::uint32_t> dim_order;  // chosen by the first addition, kept once it succeeds
  try {
    if (old == 0 && core_.options.metric == Metric::Euclidean)
      dim_order = order_by_spread(values, count, dim);
    core_.vectors.reserve(total);
    core_.graph.reserve(total, upper_lists);
    reserve_for(core_.labels, total);
    core_.nodes_by_label.reserve(total);
    scratch = acquire_scratch(workers, total);
  } catch (...) {
    rng_ = rng_before;
    throw;
  }
  auto forget_ids = [&](std::size_t added) {
    for (std::size_t i = 0; i < added; ++i)
      core_.nodes_by_label.erase(ids ? ids[i] : static_cast<std::int64_t>(next_id_ + i));
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t id = ids ? ids[i] : static_cast<std::int64_t>(next_id_ + i);
    if (core_.nodes_by_label.find(id)) {
      forget_ids(i);
      rng_ = rng_before;
      release_scratch(scratch);
      return std::unexpected(AddError{AddError::Kind::IdPresent, id});
    }
    core_.nodes_by_label.insert(id, static_cast<std::uint32_t>(old + i));
  }
  if (core_.options.schema) {
    try {
      for (std::size_t i = 0; i < count; ++i) {
        if (metadata.empty()) {
          core_.metadata.append_no_row();
        } else {
          core_.metadata.append_row(metadata[i]);
          core_.values.append(static_cast<std::uint32_t>(old + i), metadata[i]);
        }
      }
    } catch (...) {
      core_.metadata.truncate_nodes(old);
      core_.values.truncate(old);
      forget_ids(count);
      rng_ = rng_before;
      release_scratch(scratch);
      throw;
    }
  }

  // From here on nothing allocates: every array has its room.
  if (old == 0) core_.dim_order = std::move(dim_order);
  std::uint64_t next_id = next_id_;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t id = ids ? ids[i] : static_cast<std::int64_t>(next_id_ + i);
    core_.vectors.append(values + i * dim, core_.unit_rows, core_.dim_order);
    core_.graph.append(levels[i]);
    core_.labels.push_back(id);
    ids_out[i] = id;
    next_id = std::max(next_id, static_cast<std::uint64_t>(id) + 1);
  }
  next_id_ = next_id;
  size_.store(total - core_.removed_count, std::memory_order_release);

  std::size_t first = old;
  auto linked = [progress] {
    if (progress != nullptr) progress->fetch_add(1, std::memory_order_relaxed);
  };
  if (core_.entry_point == kNoNode) {
    insert_node<T, false>(core_, *scratch[0], static_cast<std::uint32_t>(first++));
    linked();
  }
  if (workers <= 1) {
    for (std::size_t node = first; node < total; ++node) {
      insert_node<T, false>(core_, *scratch[0], static_cast<std::uint32_t>(node));
      linked();
    }
  } else {
    parallel_for(total - first, workers, [&](std::size_t worker, std::size_t i) {
      insert_node<T, true>(core_, *scratch[worker], static_cast<std::uint32_t>(first + i));
      linked();
    });
  }
  release_scratch(scratch);
  return {};
}

template <class T>
void TypedIndex<T>::search_one(Scratch<T>& s, const SearchRequest& request, std::size_t query_index,
                               const MatchSet* allowed) const {
  const std::size_t dim = core_.options.dim;
  const std::size_t k = request.k;
  s.query.truncate(0);
  s.query.append(static_cast<const T*>(request.queries) + query_index * dim, core_.unit_rows,
                 core_.dim_order);
  const T* query = s.query.row(0);

  s.results.clear();
  const std::size_t nodes = core_.graph.size();
  const std::size_t ef = std::max(request.ef, k);
  if (nodes != 0) {
    Scored<T> nearest{core_.distance(query, core_.entry_point), core_.entry_point};
    for (int l = core_.top_level; l > 0; --l) nearest = greedy_closest<T, false>(core_, s, query, nearest, l);
    auto admit = [this, allowed](std::uint32_t node) {
      return !core_.is_removed(node) && (allowed == nullptr || allowed->contains(node));
    };
    // The entry is a candidate even when a filter does not admit it.
    begin_layer_search<T>(s, std::span<const Scored<T>>(&nearest, 1), kNoNode, admit);
    // Where matches lie far from the query, a filtered walk can score many
    // nodes before it finds them. A node reached through the graph costs a
    // few times one read in order, so past a quarter of the matches' count,
    // scoring the matches in order is cheaper.
    const std::size_t budget = allowed == nullptr ? SIZE_MAX : allowed->count() / 4;
    bool completed = true;
    if (allowed != nullptr && allowed->prefers_two_hops(nodes)) {
      completed = search_layer_two_hops<T>(core_, s, query, ef, admit, budget);
    } else {
      completed = search_layer<T, false>(core_, s, query, 0, ef, admit, budget);
    }
    if (!completed) exact_scan(core_, s, query, k, allowed);
  }
  emit(s.results, request, query_index);
}

template <class T>
void TypedIndex<T>::emit(std::vector<Scored<T>>& best, const SearchRequest& request,
                         std::size_t query_index) const {
  const std::size_t k = request.k;
  std::sort_heap(best.begin(), best.end());
  std::int64_t* labels = request.labels + query_index * k;
  T* distances = static_cast<T*>(request.distances) + query_index * k;
  const std::size_t found = std::min(k, best.size());
  for (std::size_t i = 0; i < found; ++i) {
    const Scored<T>& hit = best[i];
    labels[i] = core_.labels[hit.node];
    distances[i] = core_.options.metric == Metric::Euclidean ? std::sqrt(hit.distance) : T{1} + hit.distance;
  }
  std::fill(labels + found, labels + k, std::int64_t{-1});
  std::fill(distances + found, distances + k, std::numeric_limits<T>::infinity());
}

template <class T>
void TypedIndex<T>::scan_block(Scratch<T>& s, const SearchRequest& request, std::size_t first,
                               std::size_t count, const MatchSet* allowed) const {
  const std::size_t dim = core_.options.dim;
  s.block.truncate(0);
  s.block.reserve(count);
  std::vector<const T*> queries(count);
  for (std::size_t q = 0; q < count; ++q) {
    s.block.append(static_cast<const T*>(request.queries) + (first + q) * dim, core_.unit_rows,
                   core_.dim_order);
    queries[q] = s.block.row(static_cast<std::uint32_t>(q));
  }
  s.block_results.resize(count);
  exact_scan<T>(core_, s, queries, request.k, allowed, std::span(s.block_results.data(), count));
  for (std::size_t q = 0; q < count; ++q) emit(s.block_results[q], request, first + q);
}

template <class T>
std::expected<void, SearchError> TypedIndex<T>::search(const SearchRequest& request) const {
  if (request.count == 0) return {};
  std::shared_lock lock(mutex_);
  std::optional<MatchSet> allowed;
  if (request.filter != nullptr) {
    if (!core_.options.schema && !request.filter->all_of.empty())
      return std::unexpected(SearchError::NoSchema);
    static const Schema kNoSchema;
    const std::string* unknown = nullptr;
    allowed = MatchSet::of(*request.filter, core_.options.schema ? *core_.options.schema : kNoSchema,
                           core_.values, core_.nodes_by_label, core_.graph.size(), &unknown);
    if (!allowed) return std::unexpected(SearchError::UnknownAttribute);
  }
  const MatchSet* admitted = allowed ? &*allowed : nullptr;
  const std::size_t ef = std::max(request.ef, request.k);
  const bool scan = request.exact ||
                    (admitted != nullptr && admitted->prefers_scan(ef, core_.options.m, core_.graph.size()));
  // A scan serves queries in blocks that share each read of the rows.
  constexpr std::size_t kBlock = 16;
  const std::size_t tasks = scan ? (request.count + kBlock - 1) / kBlock : request.count;
  const std::size_t workers = std::min(resolve_threads(request.threads), tasks);
  ScratchSet scratch = acquire_scratch(workers, core_.graph.size());
  try {
    parallel_for(tasks, workers, [&](std::size_t worker, std::size_t task) {
      if (!scan) return search_one(*scratch[worker], request, task, admitted);
      const std::size_t first = task * kBlock;
      scan_block(*scratch[worker], request, first, std::min(kBlock, request.count - first), admitted);
    });
  } catch (...) {
    release_scratch(scratch);
    throw;
  }
  release_scratch(scratch);
  return {};
}

template <class T>
std::optional<std::size_t> TypedIndex<T>::remove(const std::int64_t* ids, std::size_t count) {
  if (count == 0) return std::nullopt;
  std::unique_lock lock(mutex_);
  // Marks first, undone at the first id that is not there; the ids leave the
  // table only once all are found.
  core_.removed.resize(core_.graph.size(), 0);
  std::vector<std::uint32_t> marked;
  marked.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto node = core_.nodes_by_label.find(ids[i]);
    if (!node || core_.removed[*node] != 0) {
      for (const std::uint32_t undone : marked) core_.removed[undone] = 0;
      return i;
    }
    core_.removed[*node] = 1;
    marked.push_back(*node);
  }
  for (std::size_t i = 0; i < count; ++i) core_.nodes_by_label.erase(ids[i]);
  core_.removed_count += count;
  size_.store(core_.graph.size() - core_.removed_count, std::memory_order_release);
  return std::nullopt;
}

template <class T>
std::unique_ptr<GraphIndex> TypedIndex<T>::compact(std::size_t threads) const {
  auto fresh = std::make_unique<TypedIndex<T>>(core_.options);
  const std::size_t dim = core_.options.dim;
  std::vector<T> rows;
  std::vector<std::int64_t> ids;
  std::vector<MetadataRow> metadata;  // empty rows for vectors that have none
  std::vector<std::uint8_t> has_row;
  {
    std::shared_lock lock(mutex_);
    const std::size_t nodes = core_.graph.size();
    const std::size_t live = nodes - core_.removed_count;
    rows.resize(live * dim);
    ids.reserve(live);
    if (core_.options.schema) {
      metadata.reserve(live);
      has_row.reserve(live);
    }
    for (std::size_t node = 0; node < nodes; ++node) {
      const auto id = static_cast<std::uint32_t>(node);
      if (core_.is_removed(id)) continue;
      copy_out(id, rows.data() + ids.size() * dim);
      ids.push_back(core_.labels[id]);
      if (!core_.options.schema) continue;
      const auto row = core_.metadata.row(id, core_.options.schema->size());
      has_row.push_back(row.has_value());
      metadata.push_back(row ? MetadataRow(row->begin(), row->end()) : MetadataRow());
    }
    fresh->next_id_ = next_id_;
  }
  // A batch either has a metadata row for every vector or for none: one
  // addition per run of vectors alike in that.
  std::vector<std::int64_t> ids_out(ids.size());
  auto with_row = [&](std::size_t i) { return !has_row.empty() && has_row[i] != 0; };
  for (std::size_t start = 0; start < ids.size();) {
    const bool with_rows = with_row(start);
    std::size_t end = start + 1;
    while (end < ids.size() && with_row(end) == with_rows) ++end;
    const auto batch = with_rows ? std::span<const MetadataRow>(metadata).subspan(start, end - start)
                                 : std::span<const MetadataRow>();
    const auto added = fresh->add(rows.data() + start * dim, end - start, ids.data() + start,
                                  ids_out.data() + start, batch, threads, nullptr);
    check_invariant(added.has_value(), "the live vectors of an index could not be added to a new one");
    start = end;
  }
  return fresh;
}

template <class T>
std::unique_ptr<TypedIndex<T>> restored(ByteSource& source, const FileHeader& header) {
  auto index = std::make_unique<TypedIndex<T>>(header.options);
  index->restore(source, header);
  return index;
}

}  // namespace

GraphIndex::Loaded GraphIndex::load(ByteSource& source) {
  const FileHeader header = read_header(source);
  if (header.options.dtype == ElementType::Float32)
    return {restored<float>(source, header), header.state.ef_search};
  return {restored<double>(source, header), header.state.ef_search};
}

std::unique_ptr<GraphIndex> GraphIndex::create(const IndexOptions& options) {
  if (options.dim == 0) throw std::invalid_argument("dim must be at least 1");
  if (options.m < 2) throw std::invalid_argument("m must be at least 2");
  if (options.dtype == ElementType::Float32) return std::make_unique<TypedIndex<float>>(options);
  return std::make_unique<TypedIndex<double>>(options);
}

}  // namespace hobrin::ann
