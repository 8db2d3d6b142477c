#pragma once
// Every store an index can be built over, listed once. The explicit
// instantiations expand HOBRIN_ANN_EACH_STORE with what they instantiate;
// with_store (core/stores.hpp) and the store tests walk the same list as the
// type Stores. A new store is added to this list and nowhere else.
#include "hobrin_ann/store/coded_rows.hpp"
#include "hobrin_ann/store/full_rows.hpp"
#include "hobrin_ann/store/vector_store.hpp"

// X(store) for each store.
#define HOBRIN_ANN_EACH_STORE(X) \
  X(FullRows<float>) X(FullRows<double>) X(CodedRows<float>) X(CodedRows<double>)

namespace hobrin::ann {

template <class... S>
struct StoreList {};

namespace detail {
template <class Skipped, class... S>
using StoreListAfter = StoreList<S...>;
}  // namespace detail

#define HOBRIN_ANN_LIST_ENTRY(S) , S
using Stores = detail::StoreListAfter<void HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_LIST_ENTRY)>;
#undef HOBRIN_ANN_LIST_ENTRY

#define HOBRIN_ANN_CHECK_STORE(S) static_assert(VectorStore<S>);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_CHECK_STORE)
#undef HOBRIN_ANN_CHECK_STORE

}  // namespace hobrin::ann
