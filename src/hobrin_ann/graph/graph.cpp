#include "hobrin_ann/graph/graph.hpp"

#include <stdexcept>

#include "common/growth.hpp"

namespace hobrin::ann {

void LinkGraph::reserve(std::size_t nodes, std::size_t upper_lists, bool exact) {
  // upper_start_ holds 32-bit offsets.
  if (upper_lists > UINT32_MAX / m_) throw std::length_error("too many upper-layer links");
  reserve_for(levels_, nodes, exact);
  if (!layer0_viewed_) {
    reserve_for(layer0_, nodes * 2 * m_, exact);
    layer0_base_ = layer0_.data();
  }
  reserve_for(upper_start_, nodes, exact);
  reserve_for(upper_, upper_lists * m_, exact);
}

void LinkGraph::append(int level) noexcept {
  // Every call stays within reserve(), so none of these reallocates.
  levels_.push_back(static_cast<std::uint8_t>(level));
  if (!layer0_viewed_) layer0_.resize(layer0_.size() + 2 * m_, kNoNode);
  upper_start_.push_back(static_cast<std::uint32_t>(upper_.size()));
  upper_.resize(upper_.size() + std::size_t(level) * m_, kNoNode);
}

void LinkGraph::truncate(std::size_t nodes) noexcept {
  if (nodes >= size()) return;
  upper_.resize(upper_start_[nodes]);
  upper_start_.resize(nodes);
  if (!layer0_viewed_) layer0_.resize(nodes * 2 * m_);
  levels_.resize(nodes);
}

std::size_t LinkGraph::bytes() const noexcept {
  return levels_.capacity() +
         (layer0_.capacity() + upper_start_.capacity() + upper_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace hobrin::ann
