#pragma once
// One search as its caller asks for it: the queries, how many results and
// how hard to look for them, and where the results go.
#include <cstddef>
#include <cstdint>

#include "hobrin_ann/filters/filter_query.hpp"

namespace hobrin::ann {

struct SearchRequest {
  const void* queries = nullptr;  // count x dim values of the index's element type
  std::size_t count = 0;
  std::size_t k = 1;
  std::size_t ef = 1;             // the candidate list length; at least k is used
  // An index of codes that keeps full rows re-scores this many of the walk's
  // best candidates on them (0: all it keeps); the walk keeps at least as
  // many. Other indexes ignore it.
  std::size_t rerank = 0;
  bool exact = false;             // scan every stored vector instead of the graph
  const FilterQuery* filter = nullptr;  // only vectors that pass it
  std::size_t threads = 0;        // 0: one per core
  std::int64_t* labels = nullptr;  // out: count x k ids, -1 where fewer were found
  void* distances = nullptr;      // out: count x k values of the element type, inf where fewer
};

}  // namespace hobrin::ann
