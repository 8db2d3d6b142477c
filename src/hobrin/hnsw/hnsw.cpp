#include "hobrin/hnsw/hnsw.hpp"

#include <cmath>
#include <utility>

#include "common/fault.hpp"
#include "hobrin/hnsw/level_sampler.hpp"

namespace hobrin {

HNSW::HNSW(HNSWConfig config)
    : schema_(std::move(config.schema)),
      distance_(config.distance),
      dim_(config.dim),
      layers_(config.layers),
      m_(config.m),
      ef_construction_(config.ef_construction),
      ef_search_(config.ef_search) {
  check_invariant(distance_ != nullptr, "graph index built without a metric");
  check_invariant(dim_ >= 1, "graph index built with dimension 0");
  // Levels are stored in one byte each.
  check_invariant(layers_ <= 64, "graph index built with more than 64 layers");
  level_weights_.reserve(layers_);
  for (std::uint64_t i = 0; i < layers_; ++i) {
    level_weights_.push_back(std::exp(-static_cast<double>(i)));
  }
  level_weight_total_ = weight_total(level_weights_);
}

VectorView HNSW::vector(NodeId node) const {
  check_invariant(node < size(), "vector asked for a node that does not exist");
  return stored(node);
}

std::vector<NodeId> HNSW::neighbours(NodeId node) const {
  check_invariant(node < size(), "neighbours asked for a node that does not exist");
  const auto list = lists_.of(node);
  return std::vector<NodeId>(list.begin(), list.end());
}

std::uint64_t HNSW::level(NodeId node) const {
  check_invariant(node < size(), "level asked for a node that does not exist");
  return levels_[node];
}

}  // namespace hobrin
