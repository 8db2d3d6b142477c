#include <string_view>
#include <unordered_set>

#include "hobrin_ann/format/checks.hpp"
#include "hobrin_ann/format/cursor.hpp"
#include "hobrin_ann/format/layout.hpp"
#include "hobrin_ann/format/section_reader.hpp"
#include "hobrin_ann/format/section_writer.hpp"
#include "hobrin_ann/format/sections/sections.hpp"

namespace hobrin::ann::format {
namespace {

// The fields whose meaning depends on others, as stored.
struct RawFields {
  std::uint8_t metric = 0;
  std::uint8_t dtype = 0;
  std::uint8_t flags = 0;
  std::uint8_t quantization = 0;
  std::uint64_t seed = 0;
};

// The fixed-size fields, in file order.
RawFields read_fixed(Cursor& in, FileHeader& h) {
  IndexOptions& o = h.options;
  RawFields raw;
  o.dim = in.next<std::uint64_t>();
  raw.metric = in.next<std::uint8_t>();
  raw.dtype = in.next<std::uint8_t>();
  raw.flags = in.next<std::uint8_t>();
  raw.quantization = in.next<std::uint8_t>();
  for (int i = 0; i < 4; ++i) {
    if (in.next<std::uint8_t>() != 0) corrupt("a reserved field of the parameters is not zero");
  }
  o.m = in.next<std::uint64_t>();
  o.ef_construction = in.next<std::uint64_t>();
  raw.seed = in.next<std::uint64_t>();
  h.state.level_seed = in.next<std::uint64_t>();
  h.state.ef_search = in.next<std::uint64_t>();
  h.state.next_id = in.next<std::uint64_t>();
  h.nodes = in.next<std::uint64_t>();
  h.removed = in.next<std::uint64_t>();
  h.upper_lists = in.next<std::uint64_t>();
  h.entry_point = in.next<std::uint32_t>();
  h.top_level = in.next<std::int32_t>();
  return raw;
}

void check_options(const RawFields& raw, IndexOptions& o) {
  if (raw.metric > 2) corrupt("unknown metric " + std::to_string(raw.metric));
  if (raw.dtype > 1) corrupt("unknown dtype " + std::to_string(raw.dtype));
  if ((raw.flags & ~(kSeedGiven | kHasSchema | kCodesOnly)) != 0)
    corrupt("unknown flags " + std::to_string(raw.flags));
  if (raw.quantization > 4) corrupt("unknown quantization " + std::to_string(raw.quantization));
  o.metric = static_cast<Metric>(raw.metric);
  o.dtype = static_cast<ElementType>(raw.dtype);
  o.quantization = static_cast<Quantization>(raw.quantization);
  o.keep_vectors = (raw.flags & kCodesOnly) == 0;
  // The same check as an index's creation, so that no index saves a file
  // its loader refuses.
  if (const auto problem = options_problem(o)) corrupt("unsound parameters: " + *problem);
}

void check_state_and_counts(const RawFields& raw, FileHeader& h, std::uint32_t version) {
  if (h.options.quantization != Quantization::None && version < kCodesVersion)
    corrupt("codes are stored in a file of version " + std::to_string(version));
  if (h.state.ef_search == 0 || h.state.ef_search >= kMaxCount) corrupt("ef_search is out of range");
  if ((raw.flags & kSeedGiven) != 0) {
    if (raw.seed >= kMaxCount) corrupt("the seed is out of range");
    h.options.seed = raw.seed;
  } else if (raw.seed != 0) {
    corrupt("a seed is stored but none was given");
  }
  if (h.state.next_id > kMaxCount) corrupt("the next id is out of range");
  if (h.nodes >= kNoNode) corrupt("the node count " + std::to_string(h.nodes) + " is out of range");
  if (h.removed > h.nodes) corrupt("more vectors are removed than stored");
  if (h.upper_lists > h.nodes * kMaxLevel || h.upper_lists * h.options.m > UINT32_MAX) {
    corrupt("the upper-layer list count " + std::to_string(h.upper_lists) + " is out of range");
  }
  // An index whose every vector was removed has no entry point either.
  const bool no_entry = h.entry_point == kNoNode && h.top_level == -1;
  if (h.nodes == 0 ? !no_entry
                   : !(no_entry && h.removed == h.nodes) &&
                         (h.entry_point >= h.nodes || h.top_level < 0 || h.top_level > kMaxLevel)) {
    corrupt("the entry point or top level does not fit the node count");
  }
}

void read_dim_order(Cursor& in, FileHeader& h) {
  const auto order_size = in.next<std::uint64_t>();
  if (order_size != 0 && order_size != h.options.dim)
    corrupt("the dimension order has neither 0 nor dim entries");
  in.need(checked_product(order_size, sizeof(std::uint32_t), "the dimension order"));
  h.dim_order.resize(order_size);
  std::vector<bool> seen(order_size);
  for (std::uint32_t& from : h.dim_order) {
    from = in.next<std::uint32_t>();
    if (from >= order_size || seen[from]) corrupt("the dimension order is not a permutation");
    seen[from] = true;
  }
}

void read_schema(Cursor& in, std::uint8_t flags, IndexOptions& o) {
  const auto names = in.next<std::uint32_t>();
  if ((flags & kHasSchema) == 0 && names != 0) corrupt("schema names are stored but there is no schema");
  in.need(checked_product(names, sizeof(std::uint32_t), "the schema"));
  Schema schema;
  schema.reserve(names);
  std::unordered_set<std::string_view> distinct;
  for (std::uint32_t i = 0; i < names; ++i) {
    const auto size = in.next<std::uint32_t>();
    const std::string_view name = in.text(size);
    if (!valid_utf8(name)) corrupt("a schema name is not UTF-8");
    if (!distinct.insert(name).second) corrupt("the schema repeats a name");
    schema.emplace_back(name);
  }
  if ((flags & kHasSchema) != 0) o.schema = std::move(schema);
}

void append_schema(std::string& out, const std::optional<Schema>& schema) {
  const Schema none;
  const Schema& names = schema ? *schema : none;
  append_value<std::uint32_t>(out, static_cast<std::uint32_t>(names.size()));
  for (const std::string& name : names) {
    append_value<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
    out += name;
  }
}

}  // namespace

template <class Store>
void write_parameters(const IndexCore<Store>& core, const IndexState& state, ByteSink& sink) {
  const IndexOptions& o = core.options;
  std::string out;
  append_value<std::uint64_t>(out, o.dim);
  append_value<std::uint8_t>(out, static_cast<std::uint8_t>(o.metric));
  append_value<std::uint8_t>(out, static_cast<std::uint8_t>(o.dtype));
  append_value<std::uint8_t>(
      out, (o.seed ? kSeedGiven : 0) | (o.schema ? kHasSchema : 0) | (o.keep_vectors ? 0 : kCodesOnly));
  append_value<std::uint8_t>(out, static_cast<std::uint8_t>(o.quantization));
  out.append(4, '\0');
  append_value<std::uint64_t>(out, o.m);
  append_value<std::uint64_t>(out, o.ef_construction);
  append_value<std::uint64_t>(out, o.seed.value_or(0));
  append_value<std::uint64_t>(out, state.level_seed);
  append_value<std::uint64_t>(out, state.ef_search);
  append_value<std::uint64_t>(out, state.next_id);
  append_value<std::uint64_t>(out, core.graph.size());
  append_value<std::uint64_t>(out, core.removed_count);
  append_value<std::uint64_t>(out, core.graph.upper_lists());
  append_value<std::uint32_t>(out, core.entry_point);
  append_value<std::int32_t>(out, core.top_level);
  append_value<std::uint64_t>(out, core.store.order().size());
  for (const std::uint32_t from : core.store.order()) append_value<std::uint32_t>(out, from);
  append_schema(out, o.schema);
  write_section(sink, "PARM", out);
}

FileHeader read_parameters(ByteSource& source) {
  SectionReader section(source, "PARM");
  const auto payload = section.take(section.length());
  section.finish();
  Cursor in(payload, section.name());
  FileHeader h;
  const RawFields raw = read_fixed(in, h);
  check_options(raw, h.options);
  check_state_and_counts(raw, h, source.version());
  read_dim_order(in, h);
  read_schema(in, raw.flags, h.options);
  in.expect_end();
  return h;
}

#define HOBRIN_ANN_INSTANTIATE(Store) \
  template void write_parameters(const IndexCore<Store>&, const IndexState&, ByteSink&);
HOBRIN_ANN_EACH_STORE(HOBRIN_ANN_INSTANTIATE)
#undef HOBRIN_ANN_INSTANTIATE

}  // namespace hobrin::ann::format
