#pragma once
// What a scalable graph index is built with, fixed for its lifetime, and the
// one check of it that creating, binding and loading an index all share.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/metadata.hpp"

namespace hobrin::ann {

enum class Metric { Euclidean, Cosine, InnerProduct };
enum class ElementType { Float32, Float64 };
// What the graph walk reads: the rows themselves, or compact codes of them
// (half precision, or 8-bit and 4-bit per-dimension scalar codes); or, for
// Graph, the rows themselves with each node's neighbours scored from 1-bit
// codes kept in the node's own block (index/quantized_layer.hpp).
enum class Quantization { None, Float16, Int8, Int4, Graph };

struct IndexOptions {
  std::size_t dim = 0;
  Metric metric = Metric::Euclidean;
  ElementType dtype = ElementType::Float32;
  std::size_t m = 16;                   // links per node on upper layers; 2m on layer 0
  std::size_t ef_construction = 200;    // candidate list length while inserting
  std::optional<std::uint64_t> seed;    // for the level draws; none: from the system
  std::optional<Schema> schema;         // metadata attribute names, if any
  Quantization quantization = Quantization::None;
  // With codes: whether the full rows are kept too, to re-rank the walk's
  // best candidates exactly (without them, distances are the codes').
  bool keep_vectors = true;
};

// Limits of the options: counts stay below 2^63, and m at most 4096 so that
// one node's lists stay small next to the memory a search reserves.
inline constexpr std::uint64_t kMaxOptionValue = (std::uint64_t{1} << 63) - 1;
inline constexpr std::size_t kMaxM = 4096;

// How an index file is opened. `map`: rows and layer-0 links stay where they
// lie in the mapped file, shared with every process that maps it, and the
// index is read-only. `verify`: the checksums of the rows are compared and
// their values checked; without it, mapped rows are not read when the file
// is opened. Everything else is always checked, since memory safety rests
// on it.
struct LoadOptions {
  bool map = false;
  bool verify = true;
};

// What is wrong with `options`, as a message for the caller, or nothing.
std::optional<std::string> options_problem(const IndexOptions& options);

}  // namespace hobrin::ann
