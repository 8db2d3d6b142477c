// The layer search and the query search built on it.
#include <algorithm>

#include "common/fault.hpp"
#include "hobrin/distance/kernels.hpp"
#include "hobrin/distance/spread_runs.hpp"
#include "hobrin/hnsw/hnsw.hpp"
#include "hobrin/hnsw/result_list.hpp"
#include "hobrin/hnsw/visited_scan.hpp"
#include "hobrin/hnsw/visited_set.hpp"

namespace hobrin {
namespace {

// The arrays one expansion fills, each with room for a whole neighbour list.
struct Batch {
  std::vector<NeighbourId> fresh;          // neighbours not yet visited
  std::vector<NodeId> ids;                 // those of them that passed every test
  std::vector<const double*> rows;         // their vectors, in the same order
  std::vector<double> distances;           // their distances, in the same order
  std::vector<const double*> spread_rows;  // the rows reordered for scoring
  std::vector<double> spread_distances;    // their distances, in that order

  // Makes room for a list of `length` entries; each array keeps what it has
  // when a later one fails to grow.
  void fit(std::size_t length) {
    grow(fresh, length);
    grow(ids, length);
    grow(rows, length);
    grow(distances, length);
    grow(spread_rows, length);
    grow(spread_distances, length);
  }

 private:
  template <class T>
  static void grow(std::vector<T>& array, std::size_t length) {
    if (array.size() < length) array.resize(length);
  }
};

// Per-thread memory reused by every layer search on the thread, so that a
// search allocates nothing in proportion to the index size, and nothing at all
// once the thread has run a search as large.
struct SearchScratch {
  VisitedSet visited;
  std::vector<Candidate> queue;  // the candidate queue, a heap
  Batch batch;
  bool busy = false;
};

// Exclusive use of this thread's scratch for the length of one layer search.
class ScratchLease {
 public:
  ScratchLease() : scratch_(instance()) {
    check_invariant(!scratch_.busy, "layer search entered while one runs on the thread");
    scratch_.busy = true;
  }
  ~ScratchLease() { scratch_.busy = false; }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  SearchScratch& operator*() const noexcept { return scratch_; }

 private:
  // Out of line: inlined, GCC recomputes the thread-local address (a call in
  // a shared library) at every use instead of keeping it in a register.
  [[gnu::noinline]] static SearchScratch& instance() {
    thread_local SearchScratch scratch;
    return scratch;
  }
  SearchScratch& scratch_;
};

// Collects, in list order, the entries of `list` that were not yet in the
// visited set and pass `admissible`, adding them to the set, with their
// vectors: ids[i], rows[i]. Returns how many. A failing entry is not recorded
// as visited: it is tested again whenever it is met. `fresh` has room for the
// whole list.
template <class Admissible>
std::size_t collect(std::span<const NeighbourId> list, const VisitedSet::Marker marker,
                    const Admissible& admissible, const double* vectors, std::size_t dim, NeighbourId* fresh,
                    NodeId* ids, const double** rows) {
  const std::size_t unvisited =
      active_unvisited_scan()(list.data(), list.size(), marker.tags(), marker.epoch(), fresh);
  std::size_t count = 0;
  for (std::size_t i = 0; i < unvisited; ++i) {
    const NodeId n = fresh[i];
    if (!admissible(n) || !marker.insert(n)) continue;
    const double* row = vectors + n * dim;
    __builtin_prefetch(row);
    ids[count] = n;
    rows[count] = row;
    ++count;
  }
  return count;
}

// Scores rows[0 .. count) into out. For kernels that read several vectors in
// step, a long batch is read as kRuns runs side by side through `spread_rows`
// and `spread_out` (room for count each); a short one, or one for a kernel
// that reads one vector after the other, is scored in place.
void score_batch(const BatchScorer& scorer, const double* const* rows, std::size_t count, double* out,
                 const double** spread_rows, double* spread_out) {
  constexpr std::size_t kRuns = 16;
  if (count / kRuns < 4 || scorer.in_step() == 1) {
    scorer.score(rows, count, out);
    return;
  }
  score_side_by_side(
      scorer, count, kRuns, [&](std::size_t i) { return rows[i]; },
      [&](std::size_t i, double distance) { out[i] = distance; }, spread_rows, spread_out, count);
}

// Candidate queue order for the standard heap functions: the top is the
// candidate that ranks first.
bool ranks_after(const Candidate& a, const Candidate& b) noexcept { return ranks_before(b, a); }

}  // namespace

std::expected<std::size_t, HNSWError> HNSW::filter_position(const Filter& filter) const {
  if (!schema_) return std::unexpected(HNSWError::NoSchema);
  if (schema_->empty()) return std::unexpected(HNSWError::EmptySchema);
  const auto position = schema_position(*schema_, filter.attribute);
  if (!position) return std::unexpected(HNSWError::AttributeNotFound);
  check_invariant(filter.predicate != nullptr, "filter without a predicate");
  return *position;
}

bool HNSW::passes(NodeId node, const Filter& filter, std::size_t position) const {
  // A node inserted without metadata has no value to test and fails.
  const auto row = metadata_.row(node, schema_->size());
  return row.has_value() && (*filter.predicate)((*row)[position]);
}

std::expected<std::vector<Candidate>, HNSWError> HNSW::knn(NodeId entry, VectorView query, std::uint64_t ef,
                                                           std::uint64_t layer, const Filter* filter) const {
  if (ef == 0) return std::unexpected(HNSWError::InvalidEF);
  if (layer >= layers_) return std::unexpected(HNSWError::InvalidLayer);
  std::size_t position = 0;
  if (filter != nullptr) {
    const auto found = filter_position(*filter);
    if (!found) return std::unexpected(found.error());
    position = *found;
  }
  check_invariant(entry < size(), "layer search entered at a node that does not exist");

  const ScratchLease lease;
  SearchScratch& scratch = *lease;
  VisitedSet& visited = scratch.visited;
  std::vector<Candidate>& queue = scratch.queue;
  Batch& batch = scratch.batch;
  visited.reset(size());
  queue.clear();

  const BatchScorer scorer(distance_, query, dim_);
  const double* const entry_row = stored(entry).data();
  double entry_distance;
  scorer.score(&entry_row, 1, &entry_distance);
  std::vector<Candidate> result{{entry_distance, entry}};
  queue.push_back({entry_distance, entry});
  visited.insert(entry);

  // The nodes that a scan of some list can still add: those the lists of this
  // layer name, less the ones visited. Once none is left, no expansion can
  // admit anything and the result is final. (The oldest nodes' lists name
  // nearly every node, so this often comes after the first expansion.)
  std::size_t unreached = lists_.named_count(layer);
  if (lists_.named(entry) && levels_[entry] >= layer) --unreached;

  while (!queue.empty()) {
    std::pop_heap(queue.begin(), queue.end(), ranks_after);
    const Candidate current = queue.back();
    queue.pop_back();
    // NaN counts as greater here: a NaN candidate stops the search unless the
    // last entry is NaN too, and a NaN last entry never stops it.
    if (compare_distance(current.distance, result.back().distance) > 0) break;
    if (unreached == 0) break;

    // The first occurrences of the neighbours that reach the layer, in stored
    // order (a later copy of an entry is always skipped: as visited, or as
    // failing the filter again). The tests of one neighbour do not depend on
    // what the earlier ones admitted, so the survivors are collected first,
    // scored together, and then admitted in list order exactly as one step at
    // a time would.
    const std::span<const NeighbourId> neighbours = lists_.searched(current.id, layer);
    // The node most likely expanded next: its list is on its way meanwhile.
    if (!queue.empty()) lists_.prefetch(queue.front().id, layer);
    batch.fit(neighbours.size());
    const auto marker = visited.marker();
    const std::size_t count =
        filter == nullptr
            ? collect(
                  neighbours, marker, [](NodeId) { return true; }, vectors_.data(), dim_, batch.fresh.data(),
                  batch.ids.data(), batch.rows.data())
            : collect(
                  neighbours, marker, [&](NodeId n) { return passes(n, *filter, position); }, vectors_.data(),
                  dim_, batch.fresh.data(), batch.ids.data(), batch.rows.data());
    unreached -= count;
    score_batch(scorer, batch.rows.data(), count, batch.distances.data(), batch.spread_rows.data(),
                batch.spread_distances.data());
    for (std::size_t i = 0; i < count; ++i) {
      const Candidate c{batch.distances[i], batch.ids[i]};
      if (admit(result, ef, c)) {
        queue.push_back(c);
        std::push_heap(queue.begin(), queue.end(), ranks_after);
        lists_.prefetch_where(c.id, layer);
      }
    }
  }
  return result;
}

std::expected<std::vector<Candidate>, HNSWError> HNSW::search(VectorView query, std::uint64_t k,
                                                              const Filter* filter) const {
  if (size() == 0) return std::vector<Candidate>{};
  NodeId entry = 0;
  // Greedy descent through layers layers-1 .. 1. Without layers the first
  // layer asked for (layers - 1 wraps around) does not exist, and the layer
  // search reports it.
  for (std::uint64_t layer = layers_ - 1; layer > 0; --layer) {
    auto nearest = knn(entry, query, 1, layer, filter);
    if (!nearest) return std::unexpected(nearest.error());
    entry = nearest->front().id;
  }
  auto found = knn(entry, query, ef_search_, 0, filter);
  if (!found) return std::unexpected(found.error());

  // Every node but the untested entry passed the filter on admission; the cut
  // tests each one so that a failing entry node cannot reach the output.
  std::size_t position = 0;
  if (filter != nullptr) position = *filter_position(*filter);
  const std::uint64_t wanted = std::max<std::uint64_t>(k, 1);
  std::vector<Candidate> output;
  for (const Candidate& c : *found) {
    if (output.size() >= wanted) break;
    if (filter != nullptr && !passes(c.id, *filter, position)) continue;
    output.push_back(c);
  }
  return output;
}

}  // namespace hobrin
