#pragma once
// Helpers shared by the graph index tests: building small indexes and taking
// a complete, bit-exact picture of a store to compare before and after a call.
#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hobrin/hnsw/hnsw.hpp"

namespace hobrin::testing {

inline HNSWConfig config(std::uint64_t dim, std::uint64_t layers, std::uint64_t ef_construction,
                         std::uint64_t ef_search, std::optional<Schema> schema = std::nullopt,
                         Metric metric = euclidean_distance) {
  return HNSWConfig{.dim = dim,
                    .layers = layers,
                    .m = 16,
                    .ef_construction = ef_construction,
                    .ef_search = ef_search,
                    .distance = metric,
                    .schema = std::move(schema)};
}

inline std::vector<std::vector<double>> random_vectors(std::size_t count, std::size_t dim,
                                                       std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<std::vector<double>> out(count, std::vector<double>(dim));
  for (auto& v : out)
    for (double& x : v) x = unit(rng);
  return out;
}

inline std::string describe(const Metadata& m) {
  switch (m.value.index()) {
    case 0: return "s:" + std::get<std::string>(m.value);
    case 1: return "i:" + std::to_string(std::get<std::int64_t>(m.value));
    default: return "f:" + std::to_string(std::bit_cast<std::uint64_t>(std::get<double>(m.value)));
  }
}

// Everything a caller can read from the store, with doubles compared by bits.
struct Snapshot {
  std::vector<std::uint64_t> vector_bits;
  std::vector<std::uint64_t> levels;
  std::vector<std::vector<NodeId>> lists;
  std::vector<std::optional<std::vector<std::string>>> rows;
  // Nodes the metadata store keeps, which must be one per node: a leftover
  // entry past the last node would pair later rows with the wrong nodes.
  std::size_t metadata_nodes = 0;
  bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const HNSW& index) {
  Snapshot s;
  const std::size_t row_length = index.schema() ? index.schema()->size() : 0;
  for (NodeId n = 0; n < index.size(); ++n) {
    for (double x : index.vector(n)) s.vector_bits.push_back(std::bit_cast<std::uint64_t>(x));
    s.levels.push_back(index.level(n));
    const auto list = index.neighbours(n);
    s.lists.emplace_back(list.begin(), list.end());
    const auto row = index.metadata().row(n, row_length);
    if (!row) {
      s.rows.emplace_back();
    } else {
      std::vector<std::string> values;
      for (const Metadata& m : *row) values.push_back(describe(m));
      s.rows.emplace_back(std::move(values));
    }
  }
  s.metadata_nodes = index.metadata().node_count();
  return s;
}

inline std::vector<NodeId> ids(const std::vector<Candidate>& result) {
  std::vector<NodeId> out;
  for (const Candidate& c : result) out.push_back(c.id);
  return out;
}

}  // namespace hobrin::testing
