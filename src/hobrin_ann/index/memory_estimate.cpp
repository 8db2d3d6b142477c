#include "hobrin_ann/index/memory_estimate.hpp"

#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/core/labels.hpp"
#include "hobrin_ann/core/stores.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/index/stored_index.hpp"
#include "hobrin_ann/kernels/kernels.hpp"

namespace hobrin::ann {
namespace {

// Bytes of one stored row: padded to whole 64-byte blocks.
template <class T>
long double row_bytes(std::size_t dim) noexcept {
  // padded_length rounds up and would wrap for a dim this close to the top.
  if (dim > std::numeric_limits<std::size_t>::max() / 2) return static_cast<long double>(dim) * sizeof(T);
  return static_cast<long double>(fast::padded_length<T>(dim)) * sizeof(T);
}

// The expected number of upper-layer lists of one node: a node reaches level
// l with probability m^-l (levels are drawn as floor(-ln(u) / ln(m))), up to
// the highest level an index has.
long double upper_lists(std::size_t m) noexcept {
  long double reach = 1.0L;
  long double lists = 0.0L;
  for (int level = 1; level <= kMaxLevel; ++level) {
    reach /= static_cast<long double>(m);
    lists += reach;
  }
  return lists;
}

template <class T>
long double estimate(std::size_t dim, std::size_t m, std::size_t count, Quantization quantization,
                     bool keep_vectors) noexcept {
  // The index's own structure comes before any vector: its table of link
  // locks above all, and the generator of its levels.
  const bool graph = quantization == Quantization::Graph;
  const bool coded = quantization != Quantization::None && !graph;
  IndexOptions options;
  options.dtype = std::is_same_v<T, float> ? ElementType::Float32 : ElementType::Float64;
  options.quantization = quantization;
  const auto fixed = static_cast<long double>(
      with_store(options, []<class Store>(Store*) { return sizeof(StoredIndex<Store>); }));
  if (count == 0) return fixed;
  const long double list = static_cast<long double>(m) * sizeof(std::uint32_t);  // m link slots
  const long double layer0 = 2 * list;
  const long double upper = m == 0 ? 0.0L : upper_lists(m) * list;
  // Per node: its level, where its upper lists start, and its id.
  const long double node = sizeof(std::uint8_t) + sizeof(std::uint32_t) + sizeof(std::int64_t);
  long double per_vector = layer0 + upper + node;
  if (keep_vectors || !coded) per_vector += row_bytes<T>(dim);
  // The quantized graph's block: per 32 lanes the neighbours' codes (4
  // bytes per rotated dimension), factors and ids.
  if (graph && dim < std::numeric_limits<std::size_t>::max() / 8) {
    const long double groups = static_cast<long double>(quantized_lanes(m) / QuantizedBlocks::kLanes);
    per_vector += groups * (4.0L * static_cast<long double>(fast::edge_code_dims(dim)) + 256.0L);
  }
  // code_row_bytes rounds up and would wrap for a dim this close to the top.
  if (coded)
    per_vector += dim > std::numeric_limits<std::size_t>::max() / 4
                      ? static_cast<long double>(dim) * 2
                      : static_cast<long double>(fast::code_row_bytes(code_of(quantization), dim));
  // int8 and int4 rows carry their own scalars beside their codes.
  if (coded && quantization != Quantization::Float16) per_vector += sizeof(fast::RowScalars);
  return fixed + per_vector * static_cast<long double>(count) +
         static_cast<long double>(LabelMap::table_bytes(count));
}

}  // namespace

std::size_t estimate_memory_bytes(std::size_t dim, ElementType dtype, std::size_t m, std::size_t count,
                                  Quantization quantization, bool keep_vectors) noexcept {
  const long double total = dtype == ElementType::Float32
                                ? estimate<float>(dim, m, count, quantization, keep_vectors)
                                : estimate<double>(dim, m, count, quantization, keep_vectors);
  const auto most = static_cast<long double>(std::numeric_limits<std::size_t>::max());
  return total >= most ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(total);
}

}  // namespace hobrin::ann
