#include "hobrin_ann/core/options.hpp"

#include <string_view>
#include <unordered_set>

#include "hobrin_ann/kernels/edge_codes.hpp"
#include "hobrin_ann/kernels/rotation.hpp"

namespace hobrin::ann {

std::optional<std::string> options_problem(const IndexOptions& o) {
  auto at_least = [](const char* name, std::uint64_t value,
                     std::uint64_t minimum) -> std::optional<std::string> {
    if (value < minimum)
      return std::string(name) + " must be at least " + std::to_string(minimum) + ", got " +
             std::to_string(value);
    if (value > kMaxOptionValue) return std::string(name) + " is too large: " + std::to_string(value);
    return std::nullopt;
  };
  if (auto problem = at_least("dim", o.dim, 1)) return problem;
  if (auto problem = at_least("m", o.m, 2)) return problem;
  if (o.m > kMaxM) return "m must be at most " + std::to_string(kMaxM) + ", got " + std::to_string(o.m);
  if (auto problem = at_least("ef_construction", o.ef_construction, 1)) return problem;
  if (!o.keep_vectors && o.quantization == Quantization::None)
    return "keep_vectors=False needs a quantization: without codes the vectors are all the index holds";
  if (o.quantization == Quantization::Graph) {
    if (o.dtype != ElementType::Float32) return "quantization 'qgraph' takes dtype float32 only";
    if (o.metric == Metric::InnerProduct)
      return "quantization 'qgraph' takes the euclidean and cosine metrics only";
    if (!o.keep_vectors) return "quantization 'qgraph' keeps the vectors: keep_vectors=False is not taken";
    // The rotation of the neighbours' codes takes rows up to its widest.
    if (fast::edge_code_dims(o.dim) > fast::Rotation::kMaxWidth)
      return "quantization 'qgraph' takes dim up to " + std::to_string(fast::Rotation::kMaxWidth) + ", got " +
             std::to_string(o.dim);
  }
  if (o.seed) {
    if (auto problem = at_least("seed", *o.seed, 0)) return problem;
  }
  if (o.schema) {
    std::unordered_set<std::string_view> names;
    for (const std::string& name : *o.schema) {
      if (!names.insert(name).second) return "schema names must be unique: '" + name + "' is repeated";
    }
  }
  return std::nullopt;
}

}  // namespace hobrin::ann
