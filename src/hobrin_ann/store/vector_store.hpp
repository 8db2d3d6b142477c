#pragma once
// The seam between the graph and the vectors it walks over. Search, insertion,
// neighbour selection and the file reach vectors only through a store; the
// store owns them (full rows, or compact codes with or without full rows
// beside them) and knows how to score them. The hot loops take the store as
// a template parameter, so a distance costs no virtual call.
//
// VectorStore names every member the index, the search and the file use;
// CodedStore adds what only a store of codes (kCoded) answers.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "hobrin_ann/kernels/row_codes.hpp"

namespace hobrin::ann {

// Scoring: what the walks, the scans and the neighbour selection call.
//   Query, QueryRows  a query made ready for scoring, and room for prepared ones
//   prepare           a caller's row into QueryRows slot `slot`, giving its Query
//   stored            a stored node as the query of its own insertion
//   score_batch       Query against nodes, under a bound (see the kernels)
//   score, score_pair Query against one node; two stored nodes
//   exact_score       what returned distances come from
//   score_block       lower bounds of exact_score, for a block of queries
//   identical         whether two stored nodes hold the same vector
//   reported          a ranked distance as the caller sees it
template <class S>
concept ScoringStore = requires(const S& store, typename S::QueryRows& rows, const typename S::Value* values,
                                typename S::Query query, const typename S::Query* queries, std::uint32_t node,
                                typename S::Distance distance, typename S::Distance* out) {
  { store.make_query_rows() } -> std::same_as<typename S::QueryRows>;
  { store.prepare(values, rows, std::size_t{0}) } noexcept -> std::same_as<typename S::Query>;
  { store.stored(node, rows) } noexcept -> std::same_as<typename S::Query>;
  { store.score(query, node) } noexcept -> std::same_as<typename S::Distance>;
  { store.score_pair(node, node) } noexcept -> std::same_as<typename S::Distance>;
  { store.exact_score(query, node) } noexcept -> std::same_as<typename S::Distance>;
  { store.score_batch(query, &node, std::size_t{1}, distance, out) } noexcept;
  { store.score_block(queries, std::size_t{1}, &node, std::size_t{1}, out) } noexcept;
  { store.identical(node, node) } noexcept -> std::same_as<bool>;
  { store.reported(distance) } noexcept -> std::same_as<typename S::Value>;
};

// Building and holding: what an addition, its undoing, get and compact call.
//   learn, adopt, forget  what the first batch teaches (FirstBatch), kept or undone
//   reserve, append, truncate, size, bytes, copy_out
//   replace               a stored node's row overwritten (its slot reused)
template <class S>
concept HoldingStore = requires(const S& store, S& held, const typename S::Value* values,
                                typename S::Value* out, typename S::FirstBatch learned, std::uint32_t node) {
  { store.learn(values, std::size_t{1}) } -> std::same_as<typename S::FirstBatch>;
  { held.adopt(std::move(learned)) } noexcept;
  { held.forget() } noexcept;
  { held.reserve(std::size_t{1}) };
  { held.reserve(std::size_t{1}, true) };
  { held.append(values) } noexcept;
  { held.replace(node, values) } noexcept;
  { held.truncate(std::size_t{0}) } noexcept;
  { store.size() } noexcept -> std::same_as<std::size_t>;
  { store.bytes() } noexcept -> std::same_as<std::size_t>;
  { store.copy_out(node, out) } noexcept;
};

// The file: rows as stored, written out and read back, or viewed in place.
template <class S>
concept FiledStore =
    requires(const S& store, S& held, const typename S::Value* values, std::vector<std::uint32_t> order) {
      { store.rows().size() } -> std::same_as<std::size_t>;
      { store.order() } noexcept -> std::same_as<std::span<const std::uint32_t>>;
      { held.set_order(std::move(order)) } noexcept;
      { held.append_stored(values) } noexcept;
      { held.view(values, std::size_t{1}) } noexcept;
    };

// A store of codes: the walk ranks by codes, and full rows kept beside them
// re-score its best candidates (keeps_vectors, rescore). The file holds the
// codes and their scale: a shared one per dimension (older files), or
// scalars per row.
template <class S>
concept CodedStore = requires(const S& store, S& held, typename S::Query query, const std::uint32_t* nodes,
                              typename S::Distance* out, const std::uint8_t* codes, const float* scale,
                              const fast::RowScalars* scalars) {
  { store.keeps_vectors() } noexcept -> std::same_as<bool>;
  { store.rescore(query, nodes, std::size_t{1}, out) } noexcept;
  { store.code() } noexcept;
  { store.code_rows().size() } -> std::same_as<std::size_t>;
  { store.offsets() } noexcept -> std::same_as<std::span<const float>>;
  { store.scales() } noexcept -> std::same_as<std::span<const float>>;
  { held.set_scale(scale, scale) } noexcept;
  { held.append_codes(codes) } noexcept;
  { held.view_codes(codes, std::size_t{1}) } noexcept;
  { store.shared_scale() } noexcept -> std::same_as<bool>;
  { store.row_scalars() } noexcept -> std::same_as<std::span<const fast::RowScalars>>;
  { held.use_shared_scale() } noexcept;
  { held.append_scalars(*scalars) } noexcept;
  { held.view_scalars(scalars, std::size_t{1}) } noexcept;
  { store.rotation_seed() } noexcept -> std::same_as<std::optional<std::uint64_t>>;
  { held.set_rotation(std::uint64_t{1}) } -> std::same_as<bool>;
  { held.clear_rotation() } noexcept;
};

template <class S>
concept VectorStore = requires {
  typename S::Value;
  typename S::Distance;
  { S::kCoded } -> std::convertible_to<bool>;
} && ScoringStore<S> && HoldingStore<S> && FiledStore<S> && (!S::kCoded || CodedStore<S>);

}  // namespace hobrin::ann
