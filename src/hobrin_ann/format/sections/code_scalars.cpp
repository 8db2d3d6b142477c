// CSCL: how the codes are scaled, from version 4 on, right after CODE. Empty
// for an index without codes; otherwise a 64-byte head (u32 form: 0 for
// half-precision codes or codes with a shared scale per dimension, 1 for
// codes scaled per row; u32 rotation: 0 none, 1 the randomized Hadamard
// rotation of kernels/rotation.hpp, form 1 only; u64 its seed; zeros), then
// for form 1 one record of four floats per node (kernels/row_codes.hpp:
// low, step, squared length, sum of codes). Files before version 4 have no
// CSCL: their int8/int4 codes share a scale.
#include <cstring>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

constexpr std::size_t kHeadBytes = 64;
constexpr std::size_t kRecordBytes = sizeof(fast::RowScalars);
static_assert(kRecordBytes == 16);

void check_scalars(fast::Code code, std::size_t dim, const std::byte* records, std::size_t count,
                   std::uint64_t first) {
  for (std::size_t r = 0; r < count; ++r) {
    fast::RowScalars s;
    std::memcpy(&s, records + r * kRecordBytes, kRecordBytes);
    if (!fast::plausible_scalars(code, dim, s))
      corrupt("row " + std::to_string(first + r) + " of the CSCL section has scalars out of range");
  }
}

}  // namespace

template <class Store>
void write_code_scalars(const IndexCore<Store>& core, ByteSink& sink) {
  if constexpr (!Store::kCoded) {
    SectionWriter(sink, "CSCL", 0).end();
  } else {
    const auto scalars = core.store.row_scalars();
    const std::size_t nodes = core.graph.size();
    const bool per_row =
        !scalars.empty() || (!core.store.shared_scale() && core.store.code() != fast::Code::Float16);
    std::byte head[kHeadBytes] = {};
    const std::uint32_t form = per_row ? 1 : 0;
    const auto seed = core.store.rotation_seed();
    const std::uint32_t rotation = seed ? 1 : 0;
    const std::uint64_t seed_value = seed.value_or(0);
    std::memcpy(head, &form, sizeof form);
    std::memcpy(head + 4, &rotation, sizeof rotation);
    std::memcpy(head + 8, &seed_value, sizeof seed_value);
    SectionWriter section(sink, "CSCL", kHeadBytes + (per_row ? nodes * kRecordBytes : 0));
    section.put(head, kHeadBytes);
    if (per_row) section.put(scalars.data(), nodes * kRecordBytes);
    section.end();
  }
}

template <class Store>
bool read_code_scalars(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                       const LoadOptions& options) {
  if (source.version() < kScalarsVersion) {
    if constexpr (Store::kCoded) core.store.use_shared_scale();
    return false;
  }
  SectionReader section(source, "CSCL");
  if constexpr (!Store::kCoded) {
    section.expect_length(0, "an index without codes");
    section.finish();
    return false;
  } else {
    if (section.length() < kHeadBytes) corrupt("the CSCL section is too short for its head");
    const auto head = section.take(kHeadBytes);
    std::byte zeros[kHeadBytes] = {};
    std::uint32_t form, rotation;
    std::uint64_t seed;
    std::memcpy(&form, head.data(), sizeof form);
    std::memcpy(&rotation, head.data() + 4, sizeof rotation);
    std::memcpy(&seed, head.data() + 8, sizeof seed);
    const fast::Code code = core.store.code();
    if (form > 1 || (form == 1 && code == fast::Code::Float16))
      corrupt("the CSCL section has an unknown form " + std::to_string(form));
    if (std::memcmp(head.data() + 16, zeros, kHeadBytes - 16) != 0 || rotation > form ||
        (rotation == 0 && seed != 0))
      corrupt("the CSCL section names a rotation this version does not know");
    core.store.clear_rotation();
    if (rotation == 1 && !core.store.set_rotation(seed))
      corrupt("the CSCL section rotates codes too wide to rotate");
    const std::uint64_t nodes = header.nodes;
    const std::uint64_t records = form == 1 ? checked_product(nodes, kRecordBytes, section.name()) : 0;
    section.expect_length(kHeadBytes + records, std::to_string(form == 1 ? nodes : 0) + " rows of scalars");
    if (form == 0) {
      core.store.use_shared_scale();
      section.finish();
      return false;
    }
    // What each row codes: its dim values, or all its code dims once rotated.
    const std::size_t dim = rotation == 1 ? fast::code_dims(code, core.options.dim) : core.options.dim;
    const std::byte* in_place = nullptr;
    if (options.map) {
      in_place = section.view_records(kRecordBytes, nodes, options.verify,
                                      [&](const std::byte* rows, std::size_t count, std::uint64_t first) {
                                        if (options.verify) check_scalars(code, dim, rows, count, first);
                                      });
    }
    if (in_place != nullptr) {
      core.store.view_scalars(reinterpret_cast<const fast::RowScalars*>(in_place), nodes);
    } else {
      section.read_records(kRecordBytes, nodes,
                           [&](const std::byte* rows, std::size_t count, std::uint64_t first) {
                             check_scalars(code, dim, rows, count, first);
                             for (std::size_t r = 0; r < count; ++r) {
                               fast::RowScalars s;
                               std::memcpy(&s, rows + r * kRecordBytes, kRecordBytes);
                               core.store.append_scalars(s);
                             }
                           });
    }
    section.finish();
    return in_place != nullptr;
  }
}

#define HOBRIN_ANN_INSTANTIATE(Store)                                   \
  template void write_code_scalars(const IndexCore<Store>&, ByteSink&); \
  template bool read_code_scalars(ByteSource&, const FileHeader&, IndexCore<Store>&, const LoadOptions&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann::format
