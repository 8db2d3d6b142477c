#pragma once
// A compact copy of the nodes above layer 0, for the descent of a query
// over the quantized graph (search/quantized_walk.hpp): their rows as 8-bit
// codes in one array, their upper-layer lists as positions in it. Every
// query descends through the same few thousand nodes (one in m), and the
// descent only chooses where the layer-0 walk starts, so it can rank by
// codes: a quarter of the bytes of the float rows, side by side instead of
// scattered among 60,000 rows, so that they stay in cache from query to
// query.
//
// Only the `keep` dimensions of widest spread among the copied rows are
// coded (in the rows' order), so that a distance reads fewer bytes still.
// Codes share one step over those dimensions (fast::CodeRange), learned from
// the copied rows that are finite (a mapped file that was not verified may
// hold any value). Built with the blocks, from a graph that no addition is
// linking, and rebuilt with them after a change.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "hobrin_ann/graph/graph.hpp"
#include "hobrin_ann/kernels/codes.hpp"

namespace hobrin::ann {

class UpperRows {
 public:
  static constexpr fast::Code kCode = fast::Code::Int8;

  // None: the descent ends where it starts.
  UpperRows() = default;

  // The nodes of `graph` above layer 0 from `entry` (a node on `top_level`);
  // row_of(node) gives a row of `dim` values, of which `keep` are coded. With `skip_zero_rows`, rows
  // of zeros are left off every list (not the entry): under cosine a zero
  // row is at distance 1 from every query, but its codes would put it at the
  // query's length, nearer than any row less similar than 0.5. Throws
  // std::bad_alloc.
  template <class Row>
  UpperRows(const LinkGraph& graph, std::uint32_t entry, int top_level, std::size_t dim,
            fast::Measure measure, bool skip_zero_rows, Row&& row_of, std::size_t keep = SIZE_MAX);

  bool empty() const noexcept { return nodes_.empty(); }
  std::size_t size() const noexcept { return nodes_.size(); }
  // Dimensions coded; values the code kernels sum over; links a list may hold.
  std::size_t dim() const noexcept { return dim_; }
  std::size_t dims() const noexcept { return fast::code_dims(kCode, dim_); }
  std::size_t max_links() const noexcept { return m_; }
  fast::Measure measure() const noexcept { return measure_; }
  int top_level() const noexcept { return top_level_; }
  std::uint32_t entry() const noexcept { return 0; }  // the entry is copied first
  std::uint32_t node(std::uint32_t position) const noexcept { return nodes_[position]; }
  std::span<const std::uint32_t> links(std::uint32_t position, int level) const noexcept {
    const std::size_t list = first_[position] + static_cast<std::size_t>(level - 1);
    return {lists_.data() + list * m_, lengths_[list]};
  }
  fast::CodeScale scale() const noexcept { return {offset_.data(), scale_.data()}; }

  // The code kernels' form of a query (a row's values, as row_of gives
  // them) into `a` and `levels` (dims() values each): the integer form where the query lies within the
  // levels' range, as fast::prepare_code_query gives, in one pass that
  // knows the shared step instead of finding it; else the float form.
  fast::CodeQuery prepare(const float* query, float* a, std::int16_t* levels) const noexcept {
    if (inverse_ > 0.0f) {
      bool outside = false;
      for (std::size_t j = 0; j < dim_; ++j) {
        const float raw = (query[picked_.empty() ? j : picked_[j]] - offset_[j]) * inverse_;
        outside |= !(raw >= -16128.0f && raw <= 16383.0f);
        const float level = std::clamp(raw, -16128.0f, 16383.0f);
        levels[j] = static_cast<std::int16_t>(level + (level < 0.0f ? -0.5f : 0.5f));
      }
      if (!outside) return {a, scale_.data(), 0.0f, levels, step_ * step_};
    }
    for (std::size_t j = 0; j < dim_; ++j) a[j] = query[picked_.empty() ? j : picked_[j]];
    std::fill(a + dim_, a + dims(), 0.0f);
    return fast::prepare_code_query(kCode, measure_, a, dims(), scale(), a, nullptr);
  }
  const std::uint8_t* codes() const noexcept { return codes_.data(); }
  std::size_t stride() const noexcept { return stride_; }
  std::size_t bytes() const noexcept {
    return codes_.size() + (nodes_.size() + first_.size() + lists_.size()) * sizeof(std::uint32_t) +
           lengths_.size() * sizeof(std::uint16_t) + (offset_.size() + scale_.size()) * sizeof(float);
  }

 private:
  std::size_t dim_ = 0, m_ = 0, stride_ = 0;
  int top_level_ = 0;
  fast::Measure measure_ = fast::Measure::SquaredEuclidean;
  std::vector<std::uint32_t> nodes_;    // per position: its node
  std::vector<std::uint32_t> first_;    // per position: its level-1 list's index
  std::vector<std::uint32_t> lists_;    // m slots per list, as positions
  std::vector<std::uint16_t> lengths_;  // per list: links in it
  std::vector<float> offset_, scale_;   // dims() values each
  float step_ = 0.0f, inverse_ = 0.0f;  // the step every coded dimension shares, and 1 / it
  std::vector<std::uint32_t> picked_;   // the row's dimensions that are coded; empty: all

  // Keeps the `keep` dimensions of widest spread (all where there are no more).
  void pick_dimensions(const std::vector<double>& sum, const std::vector<double>& squares, std::size_t keep);
  void learn(const fast::CodeRange& range);
  std::vector<std::uint8_t, LineAlignedAllocator<std::uint8_t>> codes_;  // stride bytes per position
};

template <class Row>
UpperRows::UpperRows(const LinkGraph& graph, std::uint32_t entry, int top_level, std::size_t dim,
                     fast::Measure measure, bool skip_zero_rows, Row&& row_of, std::size_t keep)
    : m_(graph.m()), top_level_(top_level), measure_(measure) {
  const std::size_t count = graph.size();
  if (entry >= count || top_level < 1 || graph.level(entry) < top_level) return;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> position(count, kNone);
  nodes_.push_back(entry);
  position[entry] = 0;
  for (std::uint32_t node = 0; node < count; ++node) {
    if (node == entry || graph.level(node) < 1) continue;
    position[node] = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(node);
  }
  // Which rows are finite (a mapped file that was not verified may hold
  // any value) and which are zero; the spread of each dimension.
  std::vector<std::uint8_t> finite(nodes_.size(), 0), zero(nodes_.size(), 0);
  std::vector<double> sum(dim, 0.0), squares(dim, 0.0);
  for (std::size_t p = 0; p < nodes_.size(); ++p) {
    const auto* r = row_of(nodes_[p]);
    zero[p] = skip_zero_rows && std::all_of(r, r + dim, [](auto v) { return v == 0; });
    double total = 0.0;
    for (std::size_t j = 0; j < dim; ++j) total += 0.0 * static_cast<double>(r[j]);
    finite[p] = total == 0.0;
    if (finite[p] == 0) continue;
    for (std::size_t j = 0; j < dim; ++j) {
      sum[j] += r[j];
      squares[j] += static_cast<double>(r[j]) * r[j];
    }
  }
  pick_dimensions(sum, squares, keep);
  fast::CodeRange range(dim_);
  std::vector<float> picked(dim_);
  auto gather = [&](std::uint32_t node) {
    const auto* r = row_of(node);
    for (std::size_t j = 0; j < dim_; ++j)
      picked[j] = static_cast<float>(r[picked_.empty() ? j : picked_[j]]);
    return picked.data();
  };
  for (std::size_t p = 0; p < nodes_.size(); ++p) {
    if (finite[p] != 0) range.widen(gather(nodes_[p]));
  }
  learn(range);
  stride_ = fast::code_row_bytes(kCode, dim_);
  codes_.resize(nodes_.size() * stride_);
  first_.resize(nodes_.size());
  for (std::size_t p = 0; p < nodes_.size(); ++p) {
    const std::uint32_t node = nodes_[p];
    fast::encode_row(kCode, gather(node), dim_, scale(), codes_.data() + p * stride_);
    const int level = std::min(graph.level(node), top_level);
    first_[p] = static_cast<std::uint32_t>(lengths_.size());
    for (int l = 1; l <= level; ++l) {
      std::uint16_t length = 0;
      const std::size_t at = lists_.size();
      lists_.resize(at + m_, kNone);
      for (const std::uint32_t to : graph.links(node, l)) {
        // A link to a node that does not reach this level is passed over.
        if (to >= count || position[to] == kNone || graph.level(to) < l || length == m_) continue;
        if (zero[position[to]] != 0) continue;
        lists_[at + length++] = position[to];
      }
      lengths_.push_back(length);
    }
  }
}

inline void UpperRows::pick_dimensions(const std::vector<double>& sum, const std::vector<double>& squares,
                                       std::size_t keep) {
  const std::size_t dim = sum.size();
  dim_ = std::min(dim, keep);
  if (dim_ == dim) return;
  // Sums of squares about the mean, up to the count that all share.
  std::vector<std::pair<double, std::uint32_t>> spread(dim);
  for (std::size_t j = 0; j < dim; ++j) {
    const double n = static_cast<double>(nodes_.size());
    spread[j] = {-(squares[j] - sum[j] * sum[j] / n), static_cast<std::uint32_t>(j)};
  }
  std::partial_sort(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(dim_), spread.end());
  picked_.resize(dim_);
  for (std::size_t j = 0; j < dim_; ++j) picked_[j] = spread[j].second;
  std::sort(picked_.begin(), picked_.end());
}

inline void UpperRows::learn(const fast::CodeRange& range) {
  offset_.resize(dims());
  scale_.resize(dims());
  range.learn(kCode, offset_.data(), scale_.data());
  step_ = *std::max_element(scale_.begin(), scale_.end());
  // The integer form's levels past dim() stay zero, as the padded query's are.
  if (measure_ == fast::Measure::SquaredEuclidean && step_ > 0.0f && std::isfinite(step_ * step_))
    inverse_ = 1.0f / step_;
}

}  // namespace hobrin::ann
