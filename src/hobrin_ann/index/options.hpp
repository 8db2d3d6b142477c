#pragma once
// What a scalable graph index is built with, fixed for its lifetime.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/metadata.hpp"

namespace hobrin::ann {

enum class Metric { Euclidean, Cosine, InnerProduct };
enum class ElementType { Float32, Float64 };

struct IndexOptions {
  std::size_t dim = 0;
  Metric metric = Metric::Euclidean;
  ElementType dtype = ElementType::Float32;
  std::size_t m = 16;                   // links per node on upper layers; 2m on layer 0
  std::size_t ef_construction = 200;    // candidate list length while inserting
  std::optional<std::uint64_t> seed;    // for the level draws; none: from the system
  std::optional<Schema> schema;         // metadata attribute names, if any
};

}  // namespace hobrin::ann
