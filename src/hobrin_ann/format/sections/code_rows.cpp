// CODE: the codes the graph walk reads, from version 3 on. Empty for an
// index without codes; otherwise the offset and then the scale of every
// dimension (code_dims floats each, so the rows start on a 64-byte
// boundary), then the rows of codes at their in-memory stride.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

// The offsets and scales: finite, scales not negative, zeros past `dim`.
void check_scale(const float* offset, const float* scale, std::size_t dim, std::size_t dims, bool half) {
  for (std::size_t j = 0; j < dims; ++j) {
    const bool used = j < dim && !half;
    if (!used && (offset[j] != 0.0f || scale[j] != 0.0f))
      corrupt("the CODE section has a scale past its dims");
    if (!std::isfinite(offset[j]) || !std::isfinite(scale[j]) || scale[j] < 0.0f)
      corrupt("the CODE section has a scale that is not finite and non-negative at dimension " +
              std::to_string(j));
  }
}

// Half-precision rows: every value in use finite, the rest zero. Other
// codes need no check: every byte is a code, and the padding is never read.
void check_half_rows(const std::byte* rows, std::size_t count, std::size_t dim, std::size_t stride,
                     std::uint64_t first) {
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < stride / 2; ++j) {
      std::uint16_t h;
      std::memcpy(&h, rows + r * stride + 2 * j, sizeof h);
      const bool bad = j < dim ? (h & 0x7c00u) == 0x7c00u : h != 0;
      if (bad)
        corrupt("row " + std::to_string(first + r) + " of the CODE section has a value that is not finite");
    }
  }
}

}  // namespace

template <class Store>
void write_codes(const IndexCore<Store>& core, ByteSink& sink) {
  if constexpr (!Store::kCoded) {
    SectionWriter(sink, "CODE", 0).end();
  } else {
    const auto& rows = core.store.code_rows();
    const auto offsets = core.store.offsets();
    const auto scales = core.store.scales();
    const std::size_t row_bytes = core.graph.size() * rows.stride();
    SectionWriter section(sink, "CODE", 2 * offsets.size_bytes() + row_bytes);
    section.put(offsets.data(), offsets.size_bytes());
    section.put(scales.data(), scales.size_bytes());
    section.put(rows.base(), row_bytes);
    section.end();
  }
}

template <class Store>
bool read_codes(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                const LoadOptions& options) {
  if (source.version() < kCodesVersion) return false;
  SectionReader section(source, "CODE");
  if constexpr (!Store::kCoded) {
    section.expect_length(0, "an index without codes");
    section.finish();
    return false;
  } else {
    const std::size_t dim = core.options.dim;
    const fast::Code code = core.store.code();
    const std::size_t dims = fast::code_dims(code, dim);
    const std::size_t stride = fast::code_row_bytes(code, dim);
    const std::uint64_t scale_bytes = 2 * dims * sizeof(float);
    const std::uint64_t nodes = header.nodes;
    const std::uint64_t rows_bytes = checked_product(nodes, stride, section.name());
    section.expect_length(scale_bytes + rows_bytes,
                          std::to_string(nodes) + " rows of codes of " + std::to_string(stride) + " bytes");
    std::vector<float> scale(2 * dims);
    const auto taken = section.take(scale_bytes);
    std::memcpy(scale.data(), taken.data(), scale_bytes);
    check_scale(scale.data(), scale.data() + dims, dim, dims, code == fast::Code::Float16);
    core.store.set_scale(scale.data(), scale.data() + dims);
    const bool half = code == fast::Code::Float16;
    const std::byte* in_place = nullptr;
    if (options.map) {
      in_place = section.view_records(stride, nodes, options.verify,
                                      [&](const std::byte* rows, std::size_t count, std::uint64_t first) {
                                        if (options.verify && half)
                                          check_half_rows(rows, count, dim, stride, first);
                                      });
    }
    if (in_place != nullptr) {
      core.store.view_codes(reinterpret_cast<const std::uint8_t*>(in_place), nodes);
    } else {
      core.store.reserve(nodes);
      section.read_records(stride, nodes, [&](const std::byte* rows, std::size_t count, std::uint64_t first) {
        if (half) check_half_rows(rows, count, dim, stride, first);
        for (std::size_t r = 0; r < count; ++r)
          core.store.append_codes(reinterpret_cast<const std::uint8_t*>(rows + r * stride));
      });
    }
    section.finish();
    return in_place != nullptr;
  }
}

#define HOBRIN_ANN_INSTANTIATE(Store)                            \
  template void write_codes(const IndexCore<Store>&, ByteSink&); \
  template bool read_codes(ByteSource&, const FileHeader&, IndexCore<Store>&, const LoadOptions&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann::format
