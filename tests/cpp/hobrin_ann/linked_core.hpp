#pragma once
// An index core over a test's rows, every node linked in order on one
// thread: what the tests of the quantized graph and of its upper layers'
// copy build on.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/insert/insert.hpp"

namespace hobrin::ann {

// Appends the first n rows (dim values each) to `core`, node i on levels up
// to level_of(i), then links them all; `scratch` gets room for lists of
// `max_links` and candidate lists of `ef`.
template <class Store, class Level>
void link_test_rows(IndexCore<Store>& core, Scratch<Store>& scratch, const std::vector<float>& rows,
                    std::size_t n, std::size_t dim, std::size_t max_links, std::size_t ef, Level&& level_of) {
  core.store.reserve(n);
  core.graph.reserve(n, n);
  scratch.prepare(n, max_links, ef);
  for (std::size_t i = 0; i < n; ++i) {
    core.store.append(rows.data() + i * dim);
    core.graph.append(level_of(i));
  }
  for (std::uint32_t node = 0; node < n; ++node) insert_node<Store, false>(core, scratch, node);
}

}  // namespace hobrin::ann
