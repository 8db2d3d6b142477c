#pragma once
// The seam between the graph and the vectors it walks over. Search, insertion
// and neighbour selection reach vectors only through a store; the store owns
// them in one form (full rows today; compressed codes can stand beside) and
// knows how to score them. The hot loops take the store as a template
// parameter, so a distance costs no virtual call.
//
// What a store answers:
//   Value       the element type callers give and get back (float or double)
//   Distance    what the walk ranks by (smaller is nearer)
//   Query       a query made ready for scoring: padded, normalised, encoded
//   QueryRows   room for prepared queries, kept in a search's scratch
//   prepare     a caller's row into QueryRows slot `slot`, giving its Query
//   score_batch Query against nodes, under a bound (see the kernels)
//   score       Query against one node; score_pair two stored nodes
//   identical   whether two stored nodes hold the same vector
//   reported    a ranked distance as the caller sees it
//   bytes       memory held
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace hobrin::ann {

template <class S>
concept VectorStore = requires(const S& store, S& mutable_store, typename S::QueryRows& rows,
                               const typename S::Value* values, typename S::Query query, std::uint32_t node,
                               typename S::Distance distance, typename S::Distance* out) {
  { store.prepare(values, rows, std::size_t{0}) } noexcept -> std::same_as<typename S::Query>;
  { store.score(query, node) } noexcept -> std::same_as<typename S::Distance>;
  { store.score_pair(node, node) } noexcept -> std::same_as<typename S::Distance>;
  { store.identical(node, node) } noexcept -> std::same_as<bool>;
  { store.score_batch(query, &node, std::size_t{1}, distance, out) } noexcept;
  { store.reported(distance) } noexcept -> std::same_as<typename S::Value>;
  { store.bytes() } noexcept -> std::same_as<std::size_t>;
  { store.size() } noexcept -> std::same_as<std::size_t>;
  { mutable_store.reserve(std::size_t{1}) };
  { mutable_store.truncate(std::size_t{0}) } noexcept;
};

}  // namespace hobrin::ann
