#pragma once
// The store of codes: every vector kept as a row of compact codes (half
// precision, or 8-bit and 4-bit per-dimension scalar codes; see
// kernels/codes.hpp), which the graph walk reads in build and search, and,
// unless the index drops them, as a full row too (FullRows). With full rows
// the search re-scores the walk's best candidates on them (rerank), so the
// distances it returns are exact; without them distances are the codes'.
//
// The codes encode the row as the full store keeps it: dimensions in the
// store's order, at unit length for cosine. int8 and int4 codes are scaled
// per row (kernels/row_codes.hpp): each row has its own offset and step, kept
// beside the codes, so no row's codes depend on the others'. Where that
// narrows the first batch's steps (rotation_narrows), such a row, padded to
// code_dims(), is turned by a seeded random rotation before coding
// (kernels/rotation.hpp), and so is each query once per search; all
// code_dims() values are then coded. Files written
// before that hold codes with one offset per dimension and one shared step,
// learned from the first batch (later values clamped to its range); a store
// read from one keeps that form (shared_scale()), adds included.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "hobrin_ann/kernels/codes.hpp"
#include "hobrin_ann/kernels/rotation.hpp"
#include "hobrin_ann/kernels/row_codes.hpp"
#include "hobrin_ann/store/full_rows.hpp"
#include "hobrin_ann/store/row_scalars.hpp"

namespace hobrin::ann {

template <class T>
class CodedRows {
 public:
  using Value = T;
  using Distance = T;
  static constexpr bool kCoded = true;
  // The code kernels' form of the query and the full row it came from (the
  // latter for re-ranking and exact scans, when rows are kept).
  struct Query {
    fast::CodeQuery code;
    const T* full;
    float sum = 0.0f;    // codes scaled per row: the query's sum and squared
    float norm2 = 0.0f;  // length over its real dimensions
  };
  // Room for prepared queries: each one's full form, its float form beside
  // what the code kernels read (2 x code_dims floats), and its integer form.
  class QueryRows {
   public:
    QueryRows(std::size_t dim, std::size_t code_dims)
        : full_(dim), prepared_(2 * code_dims), levels_(code_dims) {}
    void reserve(std::size_t rows) {
      full_.reserve(rows);
      prepared_.reserve(rows);
      levels_.reserve(rows);
    }

   private:
    friend class CodedRows;
    VectorRows<T> full_;
    VectorRows<float> prepared_;
    VectorRows<std::int16_t> levels_;
  };
  // What the first batch teaches the store: the dimension order, and the
  // codes' scale (shared) or whether rows are rotated before coding (per row).
  struct FirstBatch {
    std::vector<std::uint32_t> order;
    std::vector<float> offset, scale;
    fast::Rotation rotation;
  };
  // The seed of the rotation a store chooses: fixed, and saved with the codes.
  static constexpr std::uint64_t kRotationSeed = 0x9e3779b97f4a7c15;
  // Rows of the first batch that choose whether to rotate.
  static constexpr std::size_t kRotationSample = 256;

  CodedRows(std::size_t dim, fast::Measure measure, bool unit, fast::Code code, bool keep_vectors)
      : code_(code),
        measure_(measure),
        unit_(unit),
        keep_(keep_vectors),
        dims_(fast::code_dims(code_, dim)),
        kernels_(fast::code_kernels(code_, measure)),
        dot_kernels_(fast::code_kernels(code_, fast::Measure::NegativeDot)),
        full_(dim, measure, unit),
        codes_(fast::code_row_bytes(code_, dim)),
        offset_(dims_, 0.0f),
        scale_(dims_, 0.0f),
        identity_(2 * dims_, 1.0f),
        coded_(dim),
        staging_(dim) {
    std::fill_n(identity_.begin(), dims_, 0.0f);
    staging_.reserve(1);
  }

  std::size_t dim() const noexcept { return full_.dim(); }
  std::size_t size() const noexcept { return codes_.size(); }
  std::size_t bytes() const noexcept {
    return full_.bytes() + codes_.bytes() + scalars_.bytes() + 3 * dims_ * sizeof(float) + staging_.bytes() +
           fast::Rotation::kRounds * rotation_.width() * sizeof(float);
  }
  QueryRows make_query_rows() const { return QueryRows(dim(), dims_); }
  bool keeps_vectors() const noexcept { return keep_; }
  fast::Code code() const noexcept { return code_; }
  // Whether int8/int4 codes share one scale per dimension (read from an
  // older file) rather than being scaled per row.
  bool shared_scale() const noexcept { return !per_row_ && code_ != fast::Code::Float16; }
  // Rotates rows scaled per row before coding them, by the rotation of `seed`;
  // false (and no rotation) where they are not scaled per row or are too
  // wide. Throws std::bad_alloc.
  bool set_rotation(std::uint64_t seed) {
    if (!rotatable()) return false;
    use_rotation(fast::Rotation(dims_, seed));
    return true;
  }
  // The rotation's seed, or none.
  std::optional<std::uint64_t> rotation_seed() const noexcept {
    if (rotation_.empty()) return std::nullopt;
    return rotation_.seed();
  }

  // --- scoring: the walk reads the codes ---

  Query prepare(const Value* values, QueryRows& rows, std::size_t slot) const noexcept {
    const T* full = full_.prepare(values, rows.full_, slot);
    return finish_query(encode_query(full, rows, slot), full);
  }
  // A stored node as the query of its own insertion: its full row, or its
  // codes decoded.
  Query stored(std::uint32_t node, QueryRows& rows) const noexcept {
    const T* full = nullptr;
    if (keep_) {
      full = full_.stored(node);
    } else {
      rows.full_.truncate(0);
      T* decoded = rows.full_.append_zeros();
      decode(node, decoded, nullptr);
      full = decoded;
    }
    return finish_query(encode_query(full, rows, 0), full);
  }
  Distance score(const Query& query, std::uint32_t node) const noexcept {
    float out;
    score_codes(query, &node, 1, kUnbounded, &out);
    return fast::rankable(static_cast<T>(out));
  }
  // Neighbour selection: on the full rows when kept, else on the codes.
  Distance score_pair(std::uint32_t a, std::uint32_t b) const noexcept {
    if (keep_) return full_.score_pair(a, b);
    if (!per_row()) {
      return fast::rankable(static_cast<T>(kernels_.pair(codes_.row(a), codes_.row(b), scale(), dims_)));
    }
    return fast::rankable(static_cast<T>(scaled_pair(a, b)));
  }
  void score_batch(const Query& query, const std::uint32_t* nodes, std::size_t count, Distance bound,
                   Distance* out) const noexcept {
    const float limit = bound >= static_cast<T>(kUnbounded) ? kUnbounded : static_cast<float>(bound);
    if constexpr (std::is_same_v<T, float>) {
      score_codes(query, nodes, count, limit, out);
      for (std::size_t i = 0; i < count; ++i) out[i] = fast::rankable(out[i]);
    } else {
      std::array<float, 64> part;
      for (std::size_t first = 0; first < count; first += part.size()) {
        const std::size_t n = std::min(part.size(), count - first);
        score_codes(query, nodes + first, n, limit, part.data());
        for (std::size_t i = 0; i < n; ++i) out[first + i] = fast::rankable(static_cast<T>(part[i]));
      }
    }
  }
  // What returned distances come from: the full row when kept, else the codes.
  Distance exact_score(const Query& query, std::uint32_t node) const noexcept {
    return keep_ ? full_.score(query.full, node) : score(query, node);
  }
  // out[i] = exact_score(query, nodes[i]) on the kept full rows, fetched ahead (re-ranking).
  void rescore(const Query& query, const std::uint32_t* nodes, std::size_t count,
               Distance* out) const noexcept {
    full_.score_batch(query.full, nodes, count, std::numeric_limits<T>::infinity(), out);
  }
  // Lower bounds of exact_score for a block of queries (the scans).
  void score_block(const Query* queries, std::size_t query_count, const std::uint32_t* nodes,
                   std::size_t count, Distance* out) const noexcept {
    if (!keep_) {
      for (std::size_t q = 0; q < query_count; ++q)
        score_batch(queries[q], nodes, count, std::numeric_limits<T>::infinity(), out + q * count);
      return;
    }
    std::array<const T*, 256> fulls;
    for (std::size_t first = 0; first < query_count; first += fulls.size()) {
      const std::size_t n = std::min(fulls.size(), query_count - first);
      for (std::size_t q = 0; q < n; ++q) fulls[q] = queries[first + q].full;
      full_.score_block(fulls.data(), n, nodes, count, out + first * count);
    }
  }
  bool identical(std::uint32_t a, std::uint32_t b) const noexcept {
    if (keep_) return full_.identical(a, b);
    if (per_row() && std::memcmp(&scalars_[a], &scalars_[b], sizeof(fast::RowScalars)) != 0) return false;
    return std::memcmp(codes_.row(a), codes_.row(b), codes_.stride()) == 0;
  }
  Value reported(Distance distance) const noexcept { return full_.reported(distance); }

  // --- building ---

  // Learns the order (and, for codes that share a scale, the scale) from
  // the first rows an empty store receives; nothing for later ones. Throws
  // std::bad_alloc.
  FirstBatch learn(const Value* values, std::size_t count) const {
    if (size() != 0) return {};
    if (!shared_scale()) {
      FirstBatch learned{full_.learn(values, count), {}, {}, {}};
      if (rotatable()) {
        fast::Rotation rotation(dims_, kRotationSeed);
        if (rotation_narrows(rotation, values, std::min(count, kRotationSample), learned.order))
          learned.rotation = std::move(rotation);
      }
      return learned;
    }
    FirstBatch learned{full_.learn(values, count), std::vector<float>(dims_), std::vector<float>(dims_), {}};
    const std::size_t n = dim();
    fast::CodeRange range(n);
    VectorRows<T> row(n);
    row.reserve(1);
    for (std::size_t i = 0; i < count; ++i) {
      row.truncate(0);
      row.append(values + i * n, unit_, learned.order);
      range.widen(row.row(0));
    }
    range.learn(code_, learned.offset.data(), learned.scale.data());
    return learned;
  }
  void adopt(FirstBatch learned) noexcept {
    full_.adopt(std::move(learned.order));
    if (!learned.rotation.empty()) use_rotation(std::move(learned.rotation));
    if (learned.offset.size() == dims_) {
      offset_.swap(learned.offset);
      scale_.swap(learned.scale);
    }
  }
  // Forgets what the first batch taught (its addition was undone).
  void forget() noexcept {
    full_.forget();
    if (per_row()) clear_rotation();
    std::fill(offset_.begin(), offset_.end(), 0.0f);
    std::fill(scale_.begin(), scale_.end(), 0.0f);
  }
  void set_order(std::vector<std::uint32_t> order) noexcept { full_.set_order(std::move(order)); }
  std::span<const std::uint32_t> order() const noexcept { return full_.order(); }

  void reserve(std::size_t rows, bool exact = false) {
    codes_.reserve(rows, exact);
    if (per_row()) scalars_.reserve(rows, exact);
    if (keep_) full_.reserve(rows, exact);
  }
  // Appends a caller's row, within the reserved room.
  void append(const Value* values) noexcept {
    const T* stored;
    if (keep_) {
      full_.append(values);
      stored = full_.stored(static_cast<std::uint32_t>(full_.size() - 1));
    } else {
      stored = staged(values);
    }
    if (const auto scalars = encode(stored, codes_.append_zeros())) scalars_.append(*scalars);
  }
  // Overwrites node's row with a caller's row and encodes it again.
  void replace(std::uint32_t node, const Value* values) noexcept {
    const T* stored;
    if (keep_) {
      full_.replace(node, values);
      stored = full_.stored(node);
    } else {
      stored = staged(values);
    }
    if (const auto scalars = encode(stored, codes_.mutable_row(node))) scalars_.set(node, *scalars);
  }
  void truncate(std::size_t rows) noexcept {
    codes_.truncate(rows);
    scalars_.truncate(rows);
    full_.truncate(rows);
  }

  // The node's vector as the caller gave it (decoded from its codes when
  // the full rows are not kept).
  void copy_out(std::uint32_t node, Value* out) const noexcept {
    if (keep_) return full_.copy_out(node, out);
    const auto order = full_.order();
    decode(node, out, order.empty() ? nullptr : order.data());
  }

  // --- the file ---

  const VectorRows<T>& rows() const noexcept { return full_.rows(); }
  const VectorRows<std::uint8_t>& code_rows() const noexcept { return codes_; }
  std::span<const float> offsets() const noexcept { return offset_; }
  std::span<const float> scales() const noexcept { return scale_; }
  // The scale as the file holds it: code_dims() values each.
  void set_scale(const float* offset, const float* scale) noexcept {
    std::copy_n(offset, dims_, offset_.begin());
    std::copy_n(scale, dims_, scale_.begin());
  }
  void append_stored(const Value* values) noexcept { full_.append_stored(values); }
  void append_codes(const std::uint8_t* codes) noexcept {
    std::memcpy(codes_.append_zeros(), codes, codes_.stride());
  }
  void view(const Value* rows, std::size_t count) noexcept { full_.view(rows, count); }
  void view_codes(const std::uint8_t* codes, std::size_t count) noexcept { codes_.view(codes, count); }
  // The per-row scalars (empty unless int8/int4 codes are scaled per row).
  std::span<const fast::RowScalars> row_scalars() const noexcept {
    return per_row() ? std::span(scalars_.data(), scalars_.size()) : std::span<const fast::RowScalars>();
  }
  // Makes a store read from a file without per-row scalars use the shared scale.
  void use_shared_scale() noexcept {
    per_row_ = false;
    clear_rotation();
  }
  void clear_rotation() noexcept {
    rotation_ = fast::Rotation();
    coded_ = dim();
  }
  void append_scalars(const fast::RowScalars& scalars) noexcept { scalars_.append(scalars); }
  void view_scalars(const fast::RowScalars* scalars, std::size_t count) noexcept {
    scalars_.view(scalars, count);
  }

 private:
  static constexpr float kUnbounded = std::numeric_limits<float>::infinity();

  fast::CodeScale scale() const noexcept { return {offset_.data(), scale_.data()}; }
  bool per_row() const noexcept { return per_row_ && code_ != fast::Code::Float16; }

  // The codes' distances (before rankable): per-row codes take the kernels'
  // -<q, c> and apply each row's scalars (no early stop).
  void score_codes(const Query& query, const std::uint32_t* nodes, std::size_t count, float bound,
                   float* out) const noexcept {
    if (!per_row()) {
      kernels_.batch(query.code, codes_.base(), codes_.stride(), nodes, count, dims_, bound, out);
      return;
    }
    dot_kernels_.batch(query.code, codes_.base(), codes_.stride(), nodes, count, dims_, kUnbounded, out);
    for (std::size_t i = 0; i < count; ++i)
      out[i] = fast::scaled_distance(measure_, scalars_[nodes[i]], query.sum, query.norm2, out[i]);
  }
  // Two per-row coded rows, from their scalars and the dot product of their codes.
  float scaled_pair(std::uint32_t a, std::uint32_t b) const noexcept {
    const float codes = dot_kernels_.pair(codes_.row(a), codes_.row(b), unit_scale(), dims_);
    return fast::scaled_pair_distance(measure_, coded_, scalars_[a], scalars_[b], codes);
  }
  // Codes as they are: offset 0, scale 1 (padding zeros are codes 0 too).
  fast::CodeScale unit_scale() const noexcept { return {identity_.data(), identity_.data() + dims_}; }
  void decode(std::uint32_t node, T* out, const std::uint32_t* order) const noexcept {
    if (!per_row()) return fast::decode_row(code_, codes_.row(node), dim(), scale(), out, order);
    if (rotation_.empty())
      return fast::decode_scaled_row(code_, codes_.row(node), dim(), scalars_[node], out, order);
    std::array<float, fast::Rotation::kMaxWidth> turned;
    fast::decode_scaled_row(code_, codes_.row(node), dims_, scalars_[node], turned.data());
    rotation_.invert(turned.data());
    for (std::size_t j = 0; j < dim(); ++j) out[order != nullptr ? order[j] : j] = static_cast<T>(turned[j]);
  }
  // A caller's row in stored form (order, unit length), in the staging row.
  const T* staged(const Value* values) noexcept {
    staging_.truncate(0);
    staging_.append(values, unit_, full_.order());
    return staging_.row(0);
  }
  // Writes the codes of a row in stored form over a whole row of codes; the
  // row's scalars when the codes are scaled per row.
  std::optional<fast::RowScalars> encode(const T* stored, std::uint8_t* codes) const noexcept {
    if (per_row()) return encode_per_row(stored, codes);
    fast::encode_row(code_, stored, dim(), scale(), codes);
    return std::nullopt;
  }
  // Codes a row in stored form scaled per row, rotated first when set.
  fast::RowScalars encode_per_row(const T* stored, std::uint8_t* out) const noexcept {
    if (rotation_.empty()) return fast::encode_scaled_row(code_, stored, dim(), out);
    std::array<float, fast::Rotation::kMaxWidth> turned{};
    for (std::size_t j = 0; j < dim(); ++j) turned[j] = static_cast<float>(stored[j]);
    rotation_.apply(turned.data());
    return fast::encode_scaled_row(code_, turned.data(), dims_, out);
  }

  // Whether rows can be rotated before coding: scaled per row, and no wider
  // than a rotation goes.
  bool rotatable() const noexcept { return per_row() && dims_ <= fast::Rotation::kMaxWidth; }
  // Rotates rows by `rotation` (of width dims_) before coding them.
  void use_rotation(fast::Rotation rotation) noexcept {
    rotation_ = std::move(rotation);
    coded_ = dims_;
  }

  // Whether `rotation` makes the rows' steps narrower: the sum of their
  // squares over `count` caller's rows, which a distance's rounding error
  // follows (its variance is |q - x|^2 step^2 / 12 however many values are
  // coded). A rotation spreads a few wide dimensions over all of them
  // (anisotropic data), but gathers a mean far from zero (pixels) into a
  // few values and widens every step.
  bool rotation_narrows(const fast::Rotation& rotation, const Value* values, std::size_t count,
                        std::span<const std::uint32_t> order) const {
    const std::size_t n = dim();
    VectorRows<T> row(n);
    row.reserve(1);
    std::array<float, fast::Rotation::kMaxWidth> turned;
    auto squared_range = [](const float* v, std::size_t length) {
      const auto [least, most] = std::minmax_element(v, v + length);
      const double range = static_cast<double>(*most) - *least;
      return range * range;
    };
    double plain = 0.0, rotated = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
      row.truncate(0);
      row.append(values + i * n, unit_, order);
      std::fill(turned.begin(), turned.begin() + static_cast<std::ptrdiff_t>(dims_), 0.0f);
      for (std::size_t j = 0; j < n; ++j) turned[j] = static_cast<float>(row.row(0)[j]);
      plain += squared_range(turned.data(), n);
      rotation.apply(turned.data());
      rotated += squared_range(turned.data(), dims_);
    }
    return rotated < plain;
  }

  // The code kernels' form of a full (prepared) row, in slot `slot`.
  fast::CodeQuery encode_query(const T* full, QueryRows& rows, std::size_t slot) const noexcept {
    rows.prepared_.truncate(slot);
    rows.levels_.truncate(slot);
    float* query = rows.prepared_.append_zeros();
    std::int16_t* levels = rows.levels_.append_zeros();
    for (std::size_t j = 0; j < dim(); ++j) query[j] = static_cast<float>(full[j]);
    if (per_row()) {
      if (!rotation_.empty()) rotation_.apply(query);
      return fast::prepare_dot_query(query, dims_, query + dims_, levels);
    }
    return fast::prepare_code_query(code_, measure_, query, dims_, scale(), query + dims_, levels);
  }
  // The query's sum and squared length for per-row codes.
  Query finish_query(fast::CodeQuery code, const T* full) const noexcept {
    Query query{code, full};
    if (!per_row()) return query;
    double sum = 0.0;  // over the (rotated) prepared values: zeros past what is coded
    double norm2 = 0.0;
    for (std::size_t j = 0; j < dims_; ++j) {
      sum += static_cast<double>(code.a[j]);
      norm2 += static_cast<double>(code.a[j]) * static_cast<double>(code.a[j]);
    }
    query.sum = static_cast<float>(sum);
    query.norm2 = static_cast<float>(norm2);
    return query;
  }

  fast::Code code_;
  fast::Measure measure_;
  bool unit_;
  bool keep_;                      // full rows kept beside the codes
  std::size_t dims_;               // code_dims: what the kernels sum over
  fast::CodeKernels kernels_;      // of the measure, over codes with a shared scale
  fast::CodeKernels dot_kernels_;  // negated dot, over codes scaled per row
  bool per_row_ = true;            // int8/int4 codes scaled per row (else a shared scale)
  FullRows<T> full_;               // the order, the query form, and the rows when kept
  VectorRows<std::uint8_t> codes_;  // per node: its codes, padded
  std::vector<float> offset_, scale_;  // per dimension (shared scale), dims_ each
  std::vector<float> identity_;        // dims_ zeros, then dims_ ones: the unit scale
  RowScalarArray scalars_;             // per node, for codes scaled per row
  fast::Rotation rotation_;            // applied before codes scaled per row, or none
  std::size_t coded_;                  // values coded per row: dim, or dims_ when rotated
  VectorRows<T> staging_;          // one row in stored form, to encode when rows are not kept
};

}  // namespace hobrin::ann
