#pragma once
// The store of full rows: every vector kept as T (float or double), padded to
// whole 64-byte blocks, its dimensions in the store's order (most spread
// first for Euclidean indexes), at unit length for cosine. Queries are
// prepared into the same shape, so every score is one kernel call.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "hobrin_ann/kernels/kernels.hpp"
#include "hobrin_ann/kernels/rankable.hpp"
#include "hobrin_ann/store/dimension_order.hpp"
#include "hobrin_ann/store/rows.hpp"

namespace hobrin::ann {

template <class T>
class FullRows {
 public:
  using Value = T;
  using Distance = T;
  using Query = const T*;
  using QueryRows = VectorRows<T>;
  static constexpr bool kCoded = false;
  // What the first batch teaches the store: the dimension order.
  using FirstBatch = std::vector<std::uint32_t>;

  // `unit`: rows and queries are scaled to unit length (cosine).
  FullRows(std::size_t dim, fast::Measure measure, bool unit)
      : measure_(measure), unit_(unit), kernels_(fast::fast_kernels<T>(measure)), rows_(dim) {}

  std::size_t dim() const noexcept { return rows_.dim(); }
  std::size_t size() const noexcept { return rows_.size(); }
  std::size_t bytes() const noexcept { return rows_.bytes(); }
  QueryRows make_query_rows() const { return QueryRows(rows_.dim()); }

  // --- scoring: what the graph walks with ---

  // Room for `slot` + 1 prepared queries must have been reserved.
  Query prepare(const Value* values, QueryRows& rows, std::size_t slot) const noexcept {
    rows.truncate(slot);
    rows.append(values, unit_, order_);
    return rows.row(static_cast<std::uint32_t>(slot));
  }
  Distance score(Query query, std::uint32_t node) const noexcept {
    return fast::rankable(kernels_.pair(query, rows_.row(node), rows_.stride()));
  }
  Distance score_pair(std::uint32_t a, std::uint32_t b) const noexcept { return score(rows_.row(a), b); }
  // What returned distances come from: the same as score.
  Distance exact_score(Query query, std::uint32_t node) const noexcept { return score(query, node); }
  // out[i] = score(query, nodes[i]), except that a squared Euclidean distance
  // above `bound` may come out as any value above it.
  void score_batch(Query query, const std::uint32_t* nodes, std::size_t count, Distance bound,
                   Distance* out) const noexcept {
    kernels_.batch(query, rows_.base(), rows_.stride(), nodes, count, rows_.stride(), bound, out);
    for (std::size_t i = 0; i < count; ++i) out[i] = fast::rankable(out[i]);
  }
  // out[q * count + i] is a lower bound of score(queries[q], nodes[i]),
  // for a whole block at once (the scans; see BlockDistance).
  void score_block(const Query* queries, std::size_t query_count, const std::uint32_t* nodes,
                   std::size_t count, Distance* out) const noexcept {
    kernels_.block(queries, query_count, rows_.base(), rows_.stride(), nodes, count, rows_.stride(), out);
    for (std::size_t i = 0; i < query_count * count; ++i) out[i] = fast::rankable(out[i]);
  }
  // Whether two stored nodes hold the same vector, bit for bit.
  bool identical(std::uint32_t a, std::uint32_t b) const noexcept {
    return std::memcmp(rows_.row(a), rows_.row(b), rows_.stride() * sizeof(T)) == 0;
  }
  // A stored node's own row, as a query (of its insertion).
  Query stored(std::uint32_t node) const noexcept { return rows_.row(node); }
  Query stored(std::uint32_t node, QueryRows&) const noexcept { return rows_.row(node); }
  // The distance a caller sees: Euclidean, or 1 - similarity.
  Value reported(Distance distance) const noexcept {
    return measure_ == fast::Measure::SquaredEuclidean ? std::sqrt(distance) : Value{1} + distance;
  }

  // --- building ---

  // Chooses the dimension order from the first rows an empty store receives
  // (Euclidean only; the others keep the caller's order). Throws std::bad_alloc.
  FirstBatch learn(const Value* values, std::size_t count) const {
    if (size() != 0 || measure_ != fast::Measure::SquaredEuclidean) return {};
    return order_by_spread(values, count, rows_.dim());
  }
  void adopt(FirstBatch order) noexcept { order_ = std::move(order); }
  // Forgets what the first batch taught (its addition was undone).
  void forget() noexcept { order_.clear(); }
  void set_order(std::vector<std::uint32_t> order) noexcept { order_ = std::move(order); }
  std::span<const std::uint32_t> order() const noexcept { return order_; }

  // Room for `rows` rows in all; throws std::bad_alloc and keeps the contents.
  // `exact`: no room beyond (see reserve_for).
  void reserve(std::size_t rows, bool exact = false) { rows_.reserve(rows, exact); }
  // Appends a caller's row, within the reserved room.
  void append(const Value* values) noexcept { rows_.append(values, unit_, order_); }
  // Overwrites node's row with a caller's row (the node's slot is reused).
  void replace(std::uint32_t node, const Value* values) noexcept {
    rows_.replace(node, values, unit_, order_);
  }
  // Appends a row as stored (already ordered and scaled), within the reserved room.
  void append_stored(const Value* values) noexcept { rows_.append(values, false); }
  void truncate(std::size_t rows) noexcept { rows_.truncate(rows); }
  // Scores `count` rows stored elsewhere (a mapped file) in place, read-only.
  void view(const Value* rows, std::size_t count) noexcept { rows_.view(rows, count); }

  // The node's vector as the caller gave it: dimensions back in their order.
  void copy_out(std::uint32_t node, Value* out) const noexcept {
    const T* row = rows_.row(node);
    if (order_.empty()) {
      std::copy_n(row, rows_.dim(), out);
    } else {
      for (std::size_t j = 0; j < rows_.dim(); ++j) out[order_[j]] = row[j];
    }
  }

  // The rows as stored, for the file writer.
  const VectorRows<T>& rows() const noexcept { return rows_; }

 private:
  fast::Measure measure_;
  bool unit_;                          // rows and queries at unit length (cosine)
  fast::FastKernels<T> kernels_;
  std::vector<std::uint32_t> order_;   // stored value j is the caller's value order_[j]; empty: as given
  VectorRows<T> rows_;                 // per node: its row, padded
};

}  // namespace hobrin::ann
