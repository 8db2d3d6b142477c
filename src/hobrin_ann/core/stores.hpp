#pragma once
// The store an index of given options is built over, chosen from the one
// list of stores (store/stores.hpp).
#include <type_traits>

#include "common/fault.hpp"
#include "hobrin_ann/core/options.hpp"
#include "hobrin_ann/store/stores.hpp"

namespace hobrin::ann {

// Whether `Store` holds the vectors of an index with these options: its
// element type, and codes exactly when the options ask for them.
template <class Store>
bool serves(const IndexOptions& options) noexcept {
  const bool single = options.dtype == ElementType::Float32;
  // The quantized graph keeps full rows; its blocks lie beside the store.
  const bool coded =
      options.quantization != Quantization::None && options.quantization != Quantization::Graph;
  return std::is_same_v<typename Store::Value, float> == single && Store::kCoded == coded;
}

namespace detail {
template <class Make, class First, class... Rest>
auto with_store_in(StoreList<First, Rest...>, const IndexOptions& options, Make& make) {
  decltype(make(static_cast<First*>(nullptr))) made{};
  const bool found = (serves<First>(options) && (made = make(static_cast<First*>(nullptr)), true)) ||
                     ((serves<Rest>(options) && (made = make(static_cast<Rest*>(nullptr)), true)) || ...);
  check_invariant(found, "no store holds the vectors of these options");
  return made;
}
}  // namespace detail

// Calls `make` with a null pointer of the store type that `options` need,
// and returns what it returns.
template <class Make>
auto with_store(const IndexOptions& options, Make&& make) {
  return detail::with_store_in(Stores{}, options, make);
}

}  // namespace hobrin::ann
