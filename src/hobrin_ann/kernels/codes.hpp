#pragma once
// Distances over compressed rows ("codes"): half-precision floats, or 8-bit
// and 4-bit per-dimension scalar codes, where value j = offset[j] +
// scale[j] * code j.
//
// The query form is asymmetric: the query stays in float and the codes are
// decoded on the fly, one register at a time. A query encoded to int8 would
// allow integer dot products (madd, VNNI), but with a scale per dimension
// the squared Euclidean distance needs a weight per dimension, which the
// integer forms do not have, and encoding the query adds its own rounding to
// every distance. Decoding costs a widening and a conversion per register,
// which a walk hides behind its memory reads: it reads a quarter (int8) or an
// eighth (int4) of the bytes of float rows. Measured with AVX2 on a shared
// Zen 3 machine, batches of 32 rows at random from 50,000 (the disabled
// CodeKernelSpeed test), squared Euclidean, ns per distance:
//   dim 784: float32 490-880, f16 450-780, int8 315-325, int4 335-350
//   dim 64:  float32 38-42,   f16 20-32,   int8 20-25,   int4 34-44
// The integer query form was not built: the asymmetric one already reads
// memory-bound rows at a third of the float cost.
//
// The query is prepared once per search so that the walk does one fused
// multiply-add per value besides the decoding (see prepare_code_query):
//   squared Euclidean  sum_j (a_j - scale_j * code_j)^2   with a = q - offset
//   negated dot        -(bias + sum_j a_j * code_j)       with a = q * scale,
//                                                           bias = q . offset
// (half precision: a = q, scale 1, bias 0).
//
// Layout: rows of codes are padded with zero codes to whole 64-byte blocks and
// 64-byte aligned, like float rows. int4 packs two codes per byte in blocks
// of 64 dimensions: byte i of a block holds dimension i in its low half and
// dimension i + 32 in its high half, so one load and two masks give two whole
// registers of codes. Offsets, scales and prepared queries are padded with
// zeros to code_dims(); a zero scale makes padding decode to zero. An int4
// row of 64 dimensions fills half a block: the kernels read only its codes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::fast {

enum class Code { Float16, Int8, Int4 };

// The largest code of a kind: 255 for int8, 15 for int4.
constexpr unsigned code_levels(Code code) noexcept { return code == Code::Int4 ? 15u : 255u; }

// Dimensions the kernels sum over per row: `dim` rounded up to 32 (half
// precision, one 64-byte block) or 64 (int8, one block; int4, one group of
// 32 bytes). Prepared queries, offsets and scales have this many values.
constexpr std::size_t code_dims(Code code, std::size_t dim) noexcept {
  const std::size_t per_group = code == Code::Float16 ? 32 : 64;
  return (dim + per_group - 1) / per_group * per_group;
}

// Bytes from one row of codes to the next: whole 64-byte blocks.
constexpr std::size_t code_row_bytes(Code code, std::size_t dim) noexcept {
  const std::size_t dims = code_dims(code, dim);
  const std::size_t bytes = code == Code::Float16 ? 2 * dims : code == Code::Int8 ? dims : dims / 2;
  return (bytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
}

// The per-dimension parameters of int8 and int4 codes, code_dims() long each
// (unused for half precision: pass nulls).
struct CodeScale {
  const float* offset;
  const float* scale;
};

// A query prepared for one code kind and measure (see the top of this file).
//
// Squared Euclidean over int8 and int4 codes whose dimensions share one scale s (as
// CodeRange learns them) also has an integer form: the query encoded
// as levels l_j = (q_j - offset_j) / s, rounded, in [-16128, 16383] (far
// beyond the codes' 0 to 255; a query with a level outside that is scored in
// the float form instead), and the distance s^2 sum_j (l_j - code_j)^2 summed
// in 16-, 32- and 64-bit integers, a third of the instructions of the float
// form. Its rounding of the query adds at most s/2 per dimension to each
// difference.
//
// The negated dot product over such codes has an integer form too: the
// query as levels l_j = q_j / u, rounded, with u = max |q_j| / 16383, and
// the distance -(q . offset + s u sum_j l_j code_j).
struct CodeQuery {
  const float* a;      // code_dims() values
  const float* scale;  // squared Euclidean over int8/int4: the scales; else unused
  float bias;          // negated dot over int8/int4: q . offset; else 0
  const std::int16_t* levels = nullptr;  // the integer form's query, code_dims() values, or null
  float step2 = 0.0f;  // what the integer form's sum is multiplied by: s^2, or s u for the dot product
};

// out[i] = distance(query, codes at base + nodes[i] * stride) for i below
// count; the next rows are prefetched while one is scored. A squared
// Euclidean distance above `bound` may stop early with some value above it.
using CodeBatch = void (*)(const CodeQuery& query, const std::uint8_t* base, std::size_t stride,
                           const std::uint32_t* nodes, std::size_t count, std::size_t dims, float bound,
                           float* out) noexcept;
// The distance between two rows of codes, both decoded (neighbour selection).
using CodePair = float (*)(const std::uint8_t* a, const std::uint8_t* b, CodeScale scale,
                           std::size_t dims) noexcept;

struct CodeKernels {
  const char* variant;  // "baseline", "avx2" or "avx512"
  CodeBatch batch;
  CodePair pair;
};

// The kernels for `code` and `measure` of the variant the float kernels use.
CodeKernels code_kernels(Code code, Measure measure) noexcept;
// The kernels of one variant by name, or nulls when the CPU cannot run it.
CodeKernels code_kernels(Code code, Measure measure, const char* variant) noexcept;

// --- encoding (not in the hot loops: plain code, one variant) ---

// The range of each of `dim` dimensions over the rows shown to it one at a
// time, and the offset and scale learned from it: the minimum, and one scale
// shared by every dimension, the widest range over the levels. One step for
// all dimensions bounds every dimension's rounding alike, which is what a
// distance summed over dimensions needs (a finer step for a narrow dimension
// would buy precision where the distance has least of its weight), and it
// lets squared Euclidean distances be summed in integers (see CodeQuery). A
// dimension with a single value gets scale 0.
class CodeRange {
 public:
  explicit CodeRange(std::size_t dim)
      : low_(dim, std::numeric_limits<double>::infinity()),
        high_(dim, -std::numeric_limits<double>::infinity()) {}

  // Widens the ranges to hold one row of dim values.
  template <class T>
  void widen(const T* row) noexcept {
    for (std::size_t j = 0; j < low_.size(); ++j) {
      low_[j] = std::min(low_[j], static_cast<double>(row[j]));
      high_[j] = std::max(high_[j], static_cast<double>(row[j]));
    }
    seen_ = true;
  }

  // Writes code_dims() values to each of offset and scale, padding with
  // zeros; all zeros when no row was shown.
  void learn(Code code, float* offset, float* scale) const noexcept;

 private:
  std::vector<double> low_, high_;
  bool seen_ = false;
};

// Encodes one row of `dim` values into code_row_bytes() bytes: to the
// nearest code, values outside the learned range clamped to its ends (and,
// for half precision, to the largest finite half).
template <class T>
void encode_row(Code code, const T* values, std::size_t dim, CodeScale scale, std::uint8_t* out) noexcept;

// Decodes one row of codes into `dim` values: value j to out[order[j]]
// when an order is given, else to out[j].
template <class T>
void decode_row(Code code, const std::uint8_t* codes, std::size_t dim, CodeScale scale, T* out,
                const std::uint32_t* order = nullptr) noexcept;

// Writes the prepared form of a padded query (code_dims() values, zeros past
// dim) into `a` (code_dims() values) and returns the query that points at it.
// Given `levels` (code_dims() values), it also writes the integer form there
// where the code, measure and scale allow one (see CodeQuery).
CodeQuery prepare_code_query(Code code, Measure measure, const float* query, std::size_t dims,
                             CodeScale scale, float* a, std::int16_t* levels = nullptr) noexcept;

}  // namespace hobrin::fast
