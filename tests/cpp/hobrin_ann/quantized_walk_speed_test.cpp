// Queries per second and recall@10 of the quantized layer-0 walk beside the
// index's own walk, on one thread, over the same graph of Fashion-MNIST's
// 60,000 training images (784 values), for its first 1,000 test images
// (the best of three passes each, the walks taking turns; ef 0 is the
// descent through the upper layers alone; filled the quantized walk over
// lists topped up to 32 from two hops by filled_lists).
// Disabled by default; it reads the uncompressed files
// train-images-idx3-ubyte and t10k-images-idx3-ubyte from the folder named
// by HOBRIN_FASHION_MNIST:
//   mkdir -p /tmp/fmnist && for f in train t10k; do
//     gunzip -c /usr/share/datasets/fashion-mnist/$f-images-idx3-ubyte.gz > /tmp/fmnist/$f-images-idx3-ubyte;
//     done
//   HOBRIN_FASHION_MNIST=/tmp/fmnist build/wheel/core_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*QuantizedWalkSpeed*'
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "hobrin_ann/insert/insert.hpp"
#include "hobrin_ann/search/quantized_walk.hpp"
#include "hobrin_ann/store/full_rows.hpp"

namespace hobrin::ann {
namespace {

using Store = FullRows<float>;
using Clock = std::chrono::steady_clock;

// The images of an idx3 file as floats, up to `most` of them.
std::vector<float> read_images(const std::string& path, std::size_t most) {
  std::ifstream in(path, std::ios::binary);
  unsigned char header[16];
  if (!in.read(reinterpret_cast<char*>(header), 16)) return {};
  auto word = [&](int at) {
    return std::size_t{header[at]} << 24 | std::size_t{header[at + 1]} << 16 |
           std::size_t{header[at + 2]} << 8 | header[at + 3];
  };
  const std::size_t count = std::min(word(4), most), size = word(8) * word(12);
  std::vector<unsigned char> bytes(count * size);
  if (size != 784 ||
      !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    return {};
  return std::vector<float>(bytes.begin(), bytes.end());
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The graph of `rows` (784 values each), as an index builds it on one thread.
void build_graph(IndexCore<Store>& core, Scratch<Store>& scratch, const std::vector<float>& rows) {
  const std::size_t dim = core.options.dim, n = rows.size() / dim;
  core.store.adopt(core.store.learn(rows.data(), n));
  core.store.reserve(n);
  core.graph.reserve(n, n);
  scratch.prepare(n, 32, 1000);
  std::mt19937_64 rng(5);
  for (std::size_t i = 0; i < n; ++i) {
    core.store.append(rows.data() + i * dim);
    const double u = 1.0 - std::generate_canonical<double, 53>(rng);
    core.graph.append(std::min(static_cast<int>(-std::log(u) / std::log(16.0)), kMaxLevel));
  }
  for (std::uint32_t node = 0; node < n; ++node) insert_node<Store, false>(core, scratch, node);
}

// The k-th nearest distance of each query, by a plain scan.
std::vector<float> kth_distances(const IndexCore<Store>& core, Scratch<Store>& scratch,
                                 const std::vector<float>& queries, std::size_t k) {
  const std::size_t dim = core.options.dim, n = core.store.size();
  std::vector<float> kth(queries.size() / dim), all(n);
  for (std::size_t q = 0; q < kth.size(); ++q) {
    const Store::Query query = core.store.prepare(queries.data() + q * dim, scratch.query, 0);
    for (std::uint32_t node = 0; node < n; ++node) all[node] = core.store.score(query, node);
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k - 1), all.end());
    kth[q] = all[k - 1];
  }
  return kth;
}

double live_lanes(const QuantizedBlocks& blocks) {
  std::size_t live = 0;
  for (std::uint32_t node = 0; node < blocks.size(); ++node) live += std::popcount(blocks.live(node));
  return double(live) / double(blocks.size());
}

TEST(DISABLED_QuantizedWalkSpeed, FashionMnist) {
  const char* folder = std::getenv("HOBRIN_FASHION_MNIST");
  if (folder == nullptr) GTEST_SKIP() << "HOBRIN_FASHION_MNIST names no folder";
  const std::size_t dim = 784, k = 10;
  const auto train = read_images(std::string(folder) + "/train-images-idx3-ubyte", 60000);
  const auto test = read_images(std::string(folder) + "/t10k-images-idx3-ubyte", 1000);
  ASSERT_FALSE(train.empty() || test.empty()) << "cannot read the images in " << folder;
  const std::size_t n = train.size() / dim, queries = test.size() / dim;

  IndexCore<Store> core(IndexOptions{.dim = dim, .m = 16, .ef_construction = 200, .seed = 1, .schema = {}});
  Scratch<Store> scratch(core.store);
  auto start = Clock::now();
  build_graph(core, scratch, train);
  std::printf("graph of %zu nodes built in %.1f s\n", n, seconds_since(start));
  start = Clock::now();
  const QuantizedBlocks blocks(
      dim, n, [&](std::uint32_t node) { return core.store.rows().row(node); },
      [&](std::uint32_t node) { return core.graph.links(node, 0); }, 7);
  std::printf("blocks built in %.1f s: %zu bytes each, %.0f MB, %.1f live lanes of 32 on average\n",
              seconds_since(start), blocks.stride(), double(blocks.bytes()) / 1e6, live_lanes(blocks));
  start = Clock::now();
  const auto lists = filled_lists(
      n, [&](std::uint32_t node) { return core.graph.links(node, 0); },
      [&](std::uint32_t a, std::uint32_t b) { return core.store.score_pair(a, b); });
  const QuantizedBlocks filled(
      dim, n, [&](std::uint32_t node) { return core.store.rows().row(node); },
      [&](std::uint32_t node) {
        const std::uint32_t* list = lists.data() + std::size_t{node} * QuantizedBlocks::kLanes;
        return std::span<const std::uint32_t>(
            list, static_cast<std::size_t>(std::find(list, list + QuantizedBlocks::kLanes, kNoNode) - list));
      },
      7);
  std::printf("filled blocks built in %.1f s, %.1f live lanes of 32 on average\n", seconds_since(start),
              live_lanes(filled));

  const std::vector<float> kth = kth_distances(core, scratch, test, k);
  const auto floats = fast::fast_kernels<float>(fast::Measure::SquaredEuclidean);
  const auto scan = fast::fastscan_kernels();
  std::printf("kernels: %s floats, %s edge-code scan\n", floats.variant, scan.variant);
  auto everything = [](std::uint32_t) { return true; };
  // The quantized walks ask once per node they expand.
  std::size_t expanded = 0;
  auto counted = [&expanded](std::uint32_t) { return ++expanded != 0; };
  // One pass over the queries: the descent, then the walk of `mode` (own,
  // quantized, or none); returns the neighbours found and the seconds taken.
  enum Mode { Own, Quantized, Filled, DescentOnly };
  const char* names[] = {"own", "quantized", "filled", "descent"};
  auto pass = [&](Mode mode, std::size_t ef, QuantizedWalkScratch& walk) {
    std::size_t found = 0;
    const auto began = Clock::now();
    for (std::size_t q = 0; q < queries; ++q) {
      const Store::Query query = core.store.prepare(test.data() + q * dim, scratch.query, 0);
      const std::uint32_t entry = descend(core, scratch, query);
      if (mode == Quantized || mode == Filled) {
        quantized_walk(mode == Quantized ? blocks : filled, core.store.rows(), scan, floats, walk, query,
                       entry, ef, k, counted);
        for (const Scored<float>& r : walk.results) found += r.distance <= kth[q];
      } else if (mode == Own) {
        const Scored<float> first{core.store.score(query, entry), entry};
        begin_layer_search(scratch, std::span<const Scored<float>>(&first, 1), kNoNode, everything);
        search_layer<Store, false>(core, scratch, query, 0, std::max(ef, k), everything);
        std::sort_heap(scratch.results.begin(), scratch.results.end());
        for (std::size_t i = 0; i < std::min(k, scratch.results.size()); ++i)
          found += scratch.results[i].distance <= kth[q];
      }
    }
    return std::pair{found, seconds_since(began)};
  };
  for (std::size_t ef : {0u, 10u, 16u, 24u, 32u, 48u, 64u, 96u, 128u, 256u}) {
    QuantizedWalkScratch walk(blocks, std::max<std::size_t>(ef, k));
    scratch.prepare(n, 32, std::max<std::size_t>(ef, k));
    const std::vector<Mode> modes = ef == 0 ? std::vector{DescentOnly} : std::vector{Own, Quantized, Filled};
    // The best of three rounds, the walks taking turns: other processes share the machine.
    std::vector<double> best(modes.size(), HUGE_VAL);
    std::vector<std::size_t> found(modes.size()), expansions(modes.size());
    for (int round = 0; round < 3; ++round) {
      for (std::size_t m = 0; m < modes.size(); ++m) {
        expanded = 0;
        const auto [hits, took] = pass(modes[m], ef, walk);
        found[m] = hits;
        expansions[m] = expanded;
        best[m] = std::min(best[m], took);
      }
    }
    for (std::size_t m = 0; m < modes.size(); ++m) {
      std::printf("ef %4zu %-9s recall@10 %.4f  %8.0f q/s  %6.1f expanded per query\n", ef, names[modes[m]],
                  double(found[m]) / double(queries * k), double(queries) / best[m],
                  double(expansions[m]) / double(queries));
    }
  }
}

}  // namespace
}  // namespace hobrin::ann
