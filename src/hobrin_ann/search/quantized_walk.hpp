#pragma once
// A walk on layer 0 over QuantizedBlocks (store/quantized_blocks.hpp): the
// unfiltered walk of an index with quantization Graph (search/quantized_query.hpp).
//
// The candidate pool is a sorted array of at most ef nodes keyed by
// *estimated* distance (the edge-code scan from the block of the node that
// reached them); the results are keyed by *exact* distance, computed from a
// node's own row when it is expanded. Expanding a node reads its row (the
// store's) and its block: the row gives G = |q - node|^2, which is both the
// node's result and the anchor of its neighbours' estimates; one scan of its
// codes then estimates all 32 neighbours, and those below the pool's worst
// key that were never seen enter the pool. Every result was expanded, so its
// distance is exact, and no neighbour row is read.
//
// Measured on Fashion-MNIST (60,000 x 784, m 16, ef_construction 200; the
// disabled QuantizedWalkSpeed test, one thread, AVX2, a shared 2-core
// machine): recall@10 follows the index's own walk at the same ef (0.9925 at
// ef 32 for both), at 1.7 to 3.6 times its queries per second over six runs.
// The graph's lists fill 13.6 of a block's 32 lanes on average; filled from
// two hops (filled_lists: 31.7 lanes) the walk reaches 0.990 at ef 24.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/epoch_set.hpp"
#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/kernels/fastscan.hpp"
#include "hobrin_ann/search/search_layer.hpp"
#include "hobrin_ann/store/quantized_blocks.hpp"
#include "hobrin_ann/store/rows.hpp"
#include "hobrin_ann/store/upper_rows.hpp"

namespace hobrin::ann {

// What one walk reuses from query to query.
struct QuantizedWalkScratch {
  struct Candidate {
    float key;
    std::uint32_t node;
    bool expanded;
  };

  // Room for walks over `blocks` with pools of up to `ef`; throws std::bad_alloc.
  QuantizedWalkScratch(const QuantizedBlocks& blocks, std::size_t ef)
      : rotated(blocks.code_dims()), tables(fast::edge_table_bytes(blocks.code_dims())) {
    seen.reserve(blocks.size());
    pool.reserve(ef + 1);
  }

  EpochSet<std::uint16_t> seen;             // nodes that entered the pool once
  std::vector<Candidate> pool;              // sorted by key
  std::vector<Scored<float>> results;       // max-heap by exact distance
  std::vector<float> rotated;               // the query in the codes' space
  std::vector<std::uint8_t> tables;         // its lookup tables

  // The descent's: the query's prepared form and integer form (their values
  // past the query's dim stay zero), and one list's distances.
  std::vector<float> upper_prepared, upper_distances;
  std::vector<std::int16_t> upper_levels;

  // Room for descents over `upper`; throws std::bad_alloc.
  void fit(const UpperRows& upper) {
    upper_prepared.assign(upper.dims(), 0.0f);
    upper_levels.assign(upper.dims(), 0);
    upper_distances.resize(upper.max_links());
  }
};

namespace detail {

// Puts (key, node) in its place in the pool, unless the pool holds ef
// nodes that are all nearer; returns the position, or the pool's size when
// it was left out. The farthest node leaves a full pool.
inline std::size_t pool_insert(std::vector<QuantizedWalkScratch::Candidate>& pool, std::size_t ef, float key,
                               std::uint32_t node, bool expanded = false) {
  if (pool.size() >= ef && !(key < pool.back().key)) return pool.size();
  const auto at =
      std::upper_bound(pool.begin(), pool.end(), key,
                       [](float k, const QuantizedWalkScratch::Candidate& c) { return k < c.key; });
  const auto position = static_cast<std::size_t>(at - pool.begin());
  pool.insert(at, {key, node, expanded});
  if (pool.size() > ef) pool.pop_back();
  return position;
}

// Starts loading the first kRowPrefetchBytes of a node's row, which the
// walk reads whole when it expands the node (on Fashion-MNIST the row's
// first 1 KB alone measured within noise of all of it).
inline constexpr std::size_t kRowPrefetchBytes = 4096;
inline void prefetch_row(const VectorRows<float>& rows, std::uint32_t node) noexcept {
  const auto* r = reinterpret_cast<const char*>(rows.row(node));
  const std::size_t bytes = std::min(rows.stride() * sizeof(float), kRowPrefetchBytes);
  for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(r + at);
}

}  // namespace detail

// The walk from `entry` over `blocks` and the `rows` they were built from,
// for a query prepared as those rows are (padded, in the store's order):
// leaves the k nearest expanded nodes that
// `admit` takes in s.results (a max-heap by exact squared Euclidean
// distance); none for an entry that names no node (an empty graph's). Nodes
// that `admit` refuses are walked through all the same. A lane whose factors
// are zero holds a copy of the expanded node (its estimate is exact): past
// `copies` such copies taken, more are passed over, so that a pile of copies
// of one vector cannot fill the pool and stop the walk there. With
// `unit_rows` (cosine: every row is at unit length or zero), a zero row,
// whose cosine distance to every query is 1, is ranked among the results as
// a unit row at that distance would be (squared Euclidean 2), not by its
// Euclidean distance (1 from a unit query, which would put it before every
// row less similar than cosine 0.5).
template <class Admit>
void quantized_walk(const QuantizedBlocks& blocks, const VectorRows<float>& rows,
                    const fast::FastScanKernels& scan, const fast::FastKernels<float>& floats,
                    QuantizedWalkScratch& s, const float* query, std::uint32_t entry, std::size_t ef,
                    std::size_t k, Admit&& admit, std::size_t copies = SIZE_MAX, bool unit_rows = false) {
  s.results.clear();
  if (entry >= blocks.size()) return;
  ef = std::max(ef, k);
  blocks.rotate_query(query, s.rotated.data());
  const fast::EdgeQuery tables = scan.tables(s.rotated.data(), blocks.code_dims(), s.tables.data());
  s.seen.start();
  s.pool.clear();
  s.seen.insert(entry);
  s.pool.push_back({0.0f, entry, false});
  float estimates[QuantizedBlocks::kLanes];
  std::size_t next = 0;  // no pool entry before it is still to expand
  while (true) {
    while (next < s.pool.size() && s.pool[next].expanded) ++next;
    if (next == s.pool.size()) break;
    s.pool[next].expanded = true;
    const std::uint32_t node = s.pool[next].node;
    for (std::size_t ahead = next + 1; ahead < s.pool.size(); ++ahead) {
      if (s.pool[ahead].expanded) continue;
      blocks.prefetch(s.pool[ahead].node);
      detail::prefetch_row(rows, s.pool[ahead].node);
      break;
    }
    float g = floats.pair(query, rows.row(node), blocks.row_length());
    // A row that is not finite (a mapped file not verified) is as far as
    // can be: a key that is not a number would stop the pool admitting any.
    if (!(g <= std::numeric_limits<float>::max())) g = std::numeric_limits<float>::infinity();
    if (admit(node)) {
      const float ranked = unit_rows && blocks.zero_row(node) ? 2.0f : g;
      keep_best(s.results, Scored<float>{ranked, node}, k);
    }
    // The node's key becomes its exact distance, so that the pool's worst
    // key, which admits neighbours, is an estimate less often (on clustered
    // 100-d data at ef 64, recall@10 0.78 with estimated keys, 0.93 with this).
    s.pool.erase(s.pool.begin() + static_cast<std::ptrdiff_t>(next));
    next = std::min(next, detail::pool_insert(s.pool, ef, g, node, true));
    for (std::size_t group = 0; group < blocks.groups(); ++group) {
      const std::uint32_t live = blocks.live(node, group);
      if (live == 0) break;  // lists fill their groups in order
      const float threshold =
          s.pool.size() >= ef ? s.pool.back().key : std::numeric_limits<float>::infinity();
      const fast::HalfFactor* scale = blocks.scale(node, group);
      std::uint32_t mask = scan.estimates(tables, blocks.codes(node, group), blocks.add(node, group), scale,
                                          g, threshold, live, estimates);
      const std::uint32_t* ids = blocks.ids(node, group);
      for (; mask != 0; mask &= mask - 1) {
        const int lane = std::countr_zero(mask);
        const std::uint32_t id = ids[lane];
        // live() left out any id that names no block (a torn or damaged
        // list of a mapped file, copied into the block).
        if (s.seen.contains(id)) continue;
        if (scale[lane] == 0) {
          if (copies == 0) continue;
          --copies;
        }
        s.seen.insert(id);
        const std::size_t at = detail::pool_insert(s.pool, ef, estimates[lane], id);
        next = std::min(next, at);
      }
    }
  }
}

inline void quantized_walk(const QuantizedBlocks& blocks, const VectorRows<float>& rows,
                           const fast::FastScanKernels& scan, const fast::FastKernels<float>& floats,
                           QuantizedWalkScratch& s, const float* query, std::uint32_t entry, std::size_t ef,
                           std::size_t k) {
  quantized_walk(blocks, rows, scan, floats, s, query, entry, ef, k, [](std::uint32_t) { return true; });
}

// The entry node for a layer-0 walk: the greedy descent through the upper
// layers with exact distances, as the index's own search does.
template <class Store>
std::uint32_t descend(IndexCore<Store>& core, Scratch<Store>& s, typename Store::Query query) {
  if (core.entry_point == kNoNode) return kNoNode;
  Scored nearest{core.store.score(query, core.entry_point), core.entry_point};
  for (int level = core.top_level; level > 0; --level)
    nearest = greedy_closest<Store, false>(core, s, query, nearest, level);
  return nearest.node;
}

// The entry node for a layer-0 walk from the upper layers' codes: the
// greedy descent of `descend` (move to the nearest neighbour while it is
// nearer, level by level), ranking by the codes' distance to the query
// (`query`: upper.dim() values, as the store keeps rows). The walk scores
// its entry exactly, so a rounding here can only choose a start a little
// farther away. s.fit(upper) must have been called.
inline std::uint32_t descend_codes(const UpperRows& upper, const fast::CodeKernels& kernels,
                                   QuantizedWalkScratch& s, const float* query) {
  const fast::CodeQuery prepared = upper.prepare(query, s.upper_prepared.data(), s.upper_levels.data());
  std::uint32_t current = upper.entry();
  float nearest = std::numeric_limits<float>::infinity();
  kernels.batch(prepared, upper.codes(), upper.stride(), &current, 1, upper.dims(), nearest, &nearest);
  // A row that is not finite (a mapped file not verified): any neighbour is nearer.
  if (!(nearest <= std::numeric_limits<float>::max())) nearest = std::numeric_limits<float>::infinity();
  for (int level = upper.top_level(); level > 0; --level) {
    for (bool moved = true; moved;) {
      moved = false;
      const auto links = upper.links(current, level);
      float* d = s.upper_distances.data();
      kernels.batch(prepared, upper.codes(), upper.stride(), links.data(), links.size(), upper.dims(),
                    nearest, d);
      std::uint32_t next = current;
      for (std::size_t i = 0; i < links.size(); ++i) {
        if (d[i] < nearest) {
          nearest = d[i];
          next = links[i];
        }
      }
      moved = next != current;
      current = next;
    }
  }
  return upper.node(current);
}

}  // namespace hobrin::ann
