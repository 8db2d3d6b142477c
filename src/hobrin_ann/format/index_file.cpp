#include "hobrin_ann/format/index_file.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>
#include <unordered_set>

#include "common/crc32c.hpp"
#include "common/fault.hpp"

namespace hobrin::ann {

// Arrays go to and come from the file as they are in memory.
static_assert(std::endian::native == std::endian::little, "the index file is little-endian");

namespace {

constexpr char kMagic[8] = {'\x89', 'H', 'O', 'B', 'R', 'I', 'N', '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kPreambleBytes = 16;
constexpr std::size_t kSectionHeaderBytes = 16;
constexpr std::size_t kChecksumBytes = 4;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // what the reader takes at a time
constexpr std::uint64_t kMaxCount = std::uint64_t{1} << 63;  // counts and ids stay below this
constexpr std::uint8_t kSeedGiven = 1, kHasSchema = 2;
enum : std::uint8_t { kString = 0, kInt = 1, kFloat = 2 };

[[noreturn]] void corrupt(const std::string& what) { throw CorruptIndex(what); }

std::string section_name(const char* tag) { return std::string(tag, 4) + " section"; }

template <class V>
void append_value(std::string& out, V value) {
  char bytes[sizeof(V)];
  std::memcpy(bytes, &value, sizeof(V));
  out.append(bytes, sizeof(V));
}

template <class V>
V load(const std::byte* p) noexcept {
  V value;
  std::memcpy(&value, p, sizeof(V));
  return value;
}

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, const std::string& what) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) corrupt(what + ": its size overflows");
  return product;
}

bool valid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char c = byte(i);
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// ---- writing ------------------------------------------------------------------

// One section: its header, then the payload in pieces, then the checksum of
// both. The declared length must be what is put.
class SectionWriter {
 public:
  SectionWriter(ByteSink& sink, const char* tag, std::uint64_t length) : sink_(sink), length_(length) {
    std::string header(tag, 4);
    append_value<std::uint32_t>(header, 0);
    append_value<std::uint64_t>(header, length);
    put(header.data(), header.size());
    written_ = 0;
  }
  void put(const void* data, std::size_t size) {
    if (size == 0) return;
    crc_ = crc32c(data, size, crc_);
    sink_.write(data, size);
    written_ += size;
  }
  void end() {
    check_invariant(written_ == length_, "an index file section's length differs from what was written");
    std::string checksum;
    append_value<std::uint32_t>(checksum, crc_);
    sink_.write(checksum.data(), checksum.size());
  }

 private:
  ByteSink& sink_;
  std::uint64_t length_;
  std::uint64_t written_ = 0;
  std::uint32_t crc_ = 0;
};

void write_section(ByteSink& sink, const char* tag, const std::string& payload) {
  SectionWriter section(sink, tag, payload.size());
  section.put(payload.data(), payload.size());
  section.end();
}

template <class Store>
std::string parameters_payload(const IndexCore<Store>& core, const IndexState& state) {
  const IndexOptions& o = core.options;
  std::string out;
  append_value<std::uint64_t>(out, o.dim);
  append_value<std::uint8_t>(out, static_cast<std::uint8_t>(o.metric));
  append_value<std::uint8_t>(out, static_cast<std::uint8_t>(o.dtype));
  append_value<std::uint8_t>(out, (o.seed ? kSeedGiven : 0) | (o.schema ? kHasSchema : 0));
  out.append(5, '\0');
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
  const Schema none;
  const Schema& schema = o.schema ? *o.schema : none;
  append_value<std::uint32_t>(out, static_cast<std::uint32_t>(schema.size()));
  for (const std::string& name : schema) {
    append_value<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
    out += name;
  }
  return out;
}

template <class Store>
std::string metadata_payload(const IndexCore<Store>& core) {
  std::string out;
  if (!core.options.schema) return out;
  const std::size_t width = core.options.schema->size();
  for (std::size_t node = 0; node < core.graph.size(); ++node) {
    const auto row = core.metadata.row(static_cast<std::uint32_t>(node), width);
    append_value<std::uint8_t>(out, row ? 1 : 0);
    if (!row) continue;
    for (const Metadata& value : *row) {
      if (const auto* text = std::get_if<std::string>(&value.value)) {
        append_value<std::uint8_t>(out, kString);
        append_value<std::uint32_t>(out, static_cast<std::uint32_t>(text->size()));
        out += *text;
      } else if (const auto* integer = std::get_if<std::int64_t>(&value.value)) {
        append_value<std::uint8_t>(out, kInt);
        append_value<std::int64_t>(out, *integer);
      } else {
        append_value<std::uint8_t>(out, kFloat);
        append_value<double>(out, std::get<double>(value.value));
      }
    }
  }
  return out;
}

// ---- reading ------------------------------------------------------------------

// One section: checks its header, hands out its payload, and at the end
// compares the checksum.
class SectionReader {
 public:
  SectionReader(ByteSource& source, const char* tag) : source_(source), name_(section_name(tag)) {
    if (source.remaining() < kSectionHeaderBytes + kChecksumBytes)
      corrupt("the file ends before the " + name_);
    const auto header = source.take(kSectionHeaderBytes);
    crc_ = crc32c(header.data(), header.size());
    if (std::memcmp(header.data(), tag, 4) != 0) {
      std::string found;
      for (std::size_t i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(header[i]);
        found += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "?";
      }
      corrupt("expected the " + name_ + ", found '" + found + "'");
    }
    if (load<std::uint32_t>(header.data() + 4) != 0) corrupt(name_ + ": a reserved field is not zero");
    length_ = load<std::uint64_t>(header.data() + 8);
    if (length_ > source.remaining() - kChecksumBytes) {
      corrupt(name_ + ": its length (" + std::to_string(length_) + " bytes) runs past the end of the file");
    }
    left_ = length_;
  }

  const std::string& name() const noexcept { return name_; }
  std::uint64_t length() const noexcept { return length_; }

  void expect_length(std::uint64_t expected, const std::string& of_what) const {
    if (length_ != expected) {
      corrupt(name_ + " holds " + std::to_string(length_) + " bytes, expected " + std::to_string(expected) +
              " for " + of_what);
    }
  }

  std::span<const std::byte> take(std::size_t count) {
    check_invariant(count <= left_, "an index file section was read past its length");
    const auto piece = source_.take(count);
    crc_ = crc32c(piece.data(), piece.size(), crc_);
    left_ -= count;
    return piece;
  }

  // Hands the payload to `consume(records, count, first)` in chunks of whole
  // records of `record_bytes` each, `total` records in all.
  template <class Consume>
  void read_records(std::size_t record_bytes, std::uint64_t total, Consume&& consume) {
    const std::size_t per_chunk =
        std::max<std::size_t>(1, kChunkBytes / std::max<std::size_t>(record_bytes, 1));
    for (std::uint64_t first = 0; first < total;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, total - first));
      const auto piece = take(count * record_bytes);
      consume(piece.data(), count, first);
      first += count;
    }
  }

  void finish() {
    check_invariant(left_ == 0, "an index file section was not read to its end");
    std::byte stored[kChecksumBytes];
    source_.take_into(stored, kChecksumBytes);
    if (load<std::uint32_t>(stored) != crc_) corrupt(name_ + ": checksum mismatch");
  }

 private:
  ByteSource& source_;
  std::string name_;
  std::uint64_t length_ = 0;
  std::uint64_t left_ = 0;
  std::uint32_t crc_ = 0;
};

// Reads values from a payload held in memory, never past its end.
class Cursor {
 public:
  Cursor(std::span<const std::byte> bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

  template <class V>
  V next() {
    need(sizeof(V));
    const V value = load<V>(bytes_.data() + at_);
    at_ += sizeof(V);
    return value;
  }
  std::string_view text(std::size_t size) {
    need(size);
    const std::string_view view(reinterpret_cast<const char*>(bytes_.data() + at_), size);
    at_ += size;
    return view;
  }
  std::size_t left() const noexcept { return bytes_.size() - at_; }
  void need(std::uint64_t size) const {
    if (size > left()) corrupt(what_ + " ends in the middle of a value");
  }
  void expect_end() const {
    if (left() != 0) corrupt(what_ + " has " + std::to_string(left()) + " bytes after its last value");
  }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
  std::string what_;
};

std::uint32_t check_link(std::uint32_t target, std::uint64_t nodes, std::uint64_t node, int level) {
  if (target != kNoNode && target >= nodes) {
    corrupt("node " + std::to_string(node) + " links on layer " + std::to_string(level) + " to node " +
            std::to_string(target) + ", which does not exist");
  }
  return target;
}

// Copies one list into its slots: links first, then only kNoNode.
void read_list(std::span<std::uint32_t> slots, const std::byte* from, std::uint64_t nodes, std::uint64_t node,
               int level) {
  std::memcpy(slots.data(), from, slots.size_bytes());
  bool ended = false;
  for (const std::uint32_t target : slots) {
    check_link(target, nodes, node, level);
    if (target == kNoNode) {
      ended = true;
    } else if (ended) {
      corrupt("the layer-" + std::to_string(level) + " list of node " + std::to_string(node) +
              " has a link after an empty slot");
    }
  }
}

// Whether no value is an infinity or NaN: its exponent bits are not all set.
template <class T>
bool all_finite(const T* values, std::size_t count) noexcept {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits exponent = static_cast<Bits>(sizeof(T) == 4 ? 0x7F800000ull : 0x7FF0000000000000ull);
  Bits bad = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Bits bits = std::bit_cast<Bits>(values[i]);
    bad |= static_cast<Bits>((bits & exponent) == exponent);
  }
  return bad == 0;
}

Metadata read_value(Cursor& cursor, std::uint64_t node) {
  const auto kind = cursor.next<std::uint8_t>();
  switch (kind) {
    case kString: {
      const auto size = cursor.next<std::uint32_t>();
      const std::string_view text = cursor.text(size);
      if (!valid_utf8(text))
        corrupt("the metadata of node " + std::to_string(node) + " holds text that is not UTF-8");
      return Metadata{std::string(text)};
    }
    case kInt: return Metadata{cursor.next<std::int64_t>()};
    case kFloat: return Metadata{cursor.next<double>()};
    default: break;
  }
  corrupt("the metadata of node " + std::to_string(node) + " holds a value of unknown kind " +
          std::to_string(kind));
}

}  // namespace

// ---- sources --------------------------------------------------------------------

std::byte* ReadBuffer::room(std::size_t size) {
  if (size > capacity_) {
    const std::size_t grown = std::max(size, capacity_ + capacity_ / 2);
    data_.reset(static_cast<std::byte*>(::operator new[](grown, std::align_val_t{64})));
    capacity_ = grown;
  }
  return data_.get();
}

std::span<const std::byte> ByteSource::take(std::size_t count) {
  check_invariant(count <= remaining(), "an index file was read past its end");
  std::byte* out = buffer_.room(std::max<std::size_t>(count, 1));
  read_at(position_, out, count);
  position_ += count;
  return {out, count};
}

void ByteSource::take_into(std::byte* out, std::size_t count) {
  check_invariant(count <= remaining(), "an index file was read past its end");
  read_at(position_, out, count);
  position_ += count;
}

void MemorySource::read_at(std::uint64_t position, std::byte* out, std::size_t count) {
  if (count != 0) std::memcpy(out, bytes_.data() + position, count);
}

// ---- the format -------------------------------------------------------------------

template <class Store>
void write_index(const IndexCore<Store>& core, const IndexState& state, ByteSink& sink) {
  using T = typename Store::Value;
  const auto& rows = core.store.rows();
  const std::size_t nodes = core.graph.size();
  const std::size_t dim = core.options.dim;
  const std::size_t m = core.options.m;

  std::string preamble(kMagic, sizeof(kMagic));
  append_value<std::uint32_t>(preamble, kVersion);
  append_value<std::uint32_t>(preamble, 0);
  sink.write(preamble.data(), preamble.size());

  write_section(sink, "PARM", parameters_payload(core, state));

  SectionWriter vectors(sink, "VECT", std::uint64_t{nodes} * dim * sizeof(T));
  if (rows.stride() == dim) {
    vectors.put(rows.base(), nodes * dim * sizeof(T));
  } else {
    for (std::size_t node = 0; node < nodes; ++node) {
      vectors.put(rows.row(static_cast<std::uint32_t>(node)), dim * sizeof(T));
    }
  }
  vectors.end();

  SectionWriter labels(sink, "LABL", nodes * sizeof(std::int64_t));
  labels.put(core.labels.data(), nodes * sizeof(std::int64_t));
  labels.end();

  std::vector<std::uint8_t> levels(nodes);
  for (std::size_t node = 0; node < nodes; ++node) {
    levels[node] = static_cast<std::uint8_t>(core.graph.level(static_cast<std::uint32_t>(node)));
  }
  SectionWriter level_section(sink, "LEVL", nodes);
  level_section.put(levels.data(), nodes);
  level_section.end();

  // Each list with its empty slots, as stored.
  std::vector<std::uint32_t> slots(2 * m);
  auto put_list = [&](SectionWriter& section, std::uint32_t node, int level) {
    const auto links = core.graph.links(node, level);
    const std::size_t width = core.graph.max_links(level);
    std::copy(links.begin(), links.end(), slots.begin());
    std::fill(slots.begin() + static_cast<std::ptrdiff_t>(links.size()),
              slots.begin() + static_cast<std::ptrdiff_t>(width), kNoNode);
    section.put(slots.data(), width * sizeof(std::uint32_t));
  };
  SectionWriter layer0(sink, "LNK0", std::uint64_t{nodes} * 2 * m * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes; ++node) put_list(layer0, static_cast<std::uint32_t>(node), 0);
  layer0.end();
  SectionWriter upper(sink, "LNKU", std::uint64_t{core.graph.upper_lists()} * m * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes; ++node) {
    for (int level = 1; level <= levels[node]; ++level)
      put_list(upper, static_cast<std::uint32_t>(node), level);
  }
  upper.end();

  write_section(sink, "META", metadata_payload(core));

  SectionWriter removals(sink, "REMV", std::uint64_t{core.removed_count} * sizeof(std::uint32_t));
  for (std::size_t node = 0; node < nodes; ++node) {
    const auto id = static_cast<std::uint32_t>(node);
    if (core.is_removed(id)) removals.put(&id, sizeof(id));
  }
  removals.end();
}

FileHeader read_header(ByteSource& source) {
  if (source.size() < kPreambleBytes) {
    corrupt("the file is too short to be an index file (" + std::to_string(source.size()) + " bytes)");
  }
  const auto preamble = source.take(kPreambleBytes);
  if (std::memcmp(preamble.data(), kMagic, sizeof(kMagic)) != 0)
    corrupt("not an index file (wrong magic number)");
  const auto version = load<std::uint32_t>(preamble.data() + 8);
  if (version != kVersion) {
    corrupt("unknown format version " + std::to_string(version) + " (this build reads version " +
            std::to_string(kVersion) + ")");
  }
  if (load<std::uint32_t>(preamble.data() + 12) != 0) corrupt("a reserved field of the preamble is not zero");

  SectionReader section(source, "PARM");
  const auto payload = section.take(section.length());
  section.finish();
  Cursor in(payload, section.name());

  FileHeader h;
  IndexOptions& o = h.options;
  o.dim = in.next<std::uint64_t>();
  const auto metric = in.next<std::uint8_t>();
  const auto dtype = in.next<std::uint8_t>();
  const auto flags = in.next<std::uint8_t>();
  for (int i = 0; i < 5; ++i) {
    if (in.next<std::uint8_t>() != 0) corrupt("a reserved field of the parameters is not zero");
  }
  o.m = in.next<std::uint64_t>();
  o.ef_construction = in.next<std::uint64_t>();
  const auto seed = in.next<std::uint64_t>();
  h.state.level_seed = in.next<std::uint64_t>();
  h.state.ef_search = in.next<std::uint64_t>();
  h.state.next_id = in.next<std::uint64_t>();
  h.nodes = in.next<std::uint64_t>();
  h.removed = in.next<std::uint64_t>();
  h.upper_lists = in.next<std::uint64_t>();
  h.entry_point = in.next<std::uint32_t>();
  h.top_level = in.next<std::int32_t>();

  if (o.dim == 0 || o.dim >= kMaxCount) corrupt("dim " + std::to_string(o.dim) + " is out of range");
  if (metric > 2) corrupt("unknown metric " + std::to_string(metric));
  if (dtype > 1) corrupt("unknown dtype " + std::to_string(dtype));
  if ((flags & ~(kSeedGiven | kHasSchema)) != 0) corrupt("unknown flags " + std::to_string(flags));
  o.metric = static_cast<Metric>(metric);
  o.dtype = static_cast<ElementType>(dtype);
  if (o.m < 2 || o.m > kMaxM) corrupt("m " + std::to_string(o.m) + " is out of range (2 to 4096)");
  if (o.ef_construction == 0 || o.ef_construction >= kMaxCount) corrupt("ef_construction is out of range");
  if (h.state.ef_search == 0 || h.state.ef_search >= kMaxCount) corrupt("ef_search is out of range");
  if ((flags & kSeedGiven) != 0) {
    if (seed >= kMaxCount) corrupt("the seed is out of range");
    o.seed = seed;
  } else if (seed != 0) {
    corrupt("a seed is stored but none was given");
  }
  if (h.state.next_id > kMaxCount) corrupt("the next id is out of range");
  if (h.nodes >= kNoNode) corrupt("the node count " + std::to_string(h.nodes) + " is out of range");
  if (h.removed > h.nodes) corrupt("more vectors are removed than stored");
  if (h.upper_lists > h.nodes * kMaxLevel || h.upper_lists * o.m > UINT32_MAX) {
    corrupt("the upper-layer list count " + std::to_string(h.upper_lists) + " is out of range");
  }
  if (h.nodes == 0 ? (h.entry_point != kNoNode || h.top_level != -1)
                   : (h.entry_point >= h.nodes || h.top_level < 0 || h.top_level > kMaxLevel)) {
    corrupt("the entry point or top level does not fit the node count");
  }

  const auto order_size = in.next<std::uint64_t>();
  if (order_size != 0 && order_size != o.dim) corrupt("the dimension order has neither 0 nor dim entries");
  in.need(checked_product(order_size, sizeof(std::uint32_t), "the dimension order"));
  h.dim_order.resize(order_size);
  std::vector<bool> seen(order_size);
  for (std::uint32_t& from : h.dim_order) {
    from = in.next<std::uint32_t>();
    if (from >= order_size || seen[from]) corrupt("the dimension order is not a permutation");
    seen[from] = true;
  }

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
  in.expect_end();
  return h;
}

template <class Store>
void read_body(ByteSource& source, const FileHeader& h, IndexCore<Store>& core) {
  using T = typename Store::Value;
  const std::uint64_t nodes = h.nodes;
  const std::size_t dim = core.options.dim;
  const std::size_t m = core.options.m;
  const std::string per_node = std::to_string(nodes) + " nodes";

  // Everything below is allocated for counts the file's own size accounts
  // for: the fixed-size sections must fit in what remains before any is read.
  {
    std::uint64_t needed = 7 * (kSectionHeaderBytes + kChecksumBytes);
    bool overflow = false;
    auto add = [&](std::uint64_t count, std::uint64_t bytes) {
      std::uint64_t product = 0;
      overflow |= __builtin_mul_overflow(count, bytes, &product);
      overflow |= __builtin_add_overflow(needed, product, &needed);
    };
    std::uint64_t row_bytes = 0;
    overflow |= __builtin_mul_overflow(std::uint64_t{dim}, sizeof(T), &row_bytes);
    add(nodes, row_bytes);
    add(nodes, sizeof(std::int64_t) + 1 + 2 * m * sizeof(std::uint32_t) + (core.options.schema ? 1 : 0));
    add(h.upper_lists, m * sizeof(std::uint32_t));
    add(h.removed, sizeof(std::uint32_t));
    if (overflow || needed > source.remaining()) {
      corrupt("the file is too short for the " + per_node + " its parameters describe");
    }
  }

  {
    SectionReader section(source, "VECT");
    const std::uint64_t row_bytes = checked_product(dim, sizeof(T), section.name());
    section.expect_length(checked_product(nodes, row_bytes, section.name()),
                          per_node + " of dim " + std::to_string(dim));
    core.store.reserve(nodes);
    section.read_records(
        row_bytes, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
          const T* values = reinterpret_cast<const T*>(bytes);
          if (!all_finite(values, count * dim)) {
            for (std::size_t i = 0; i < count * dim; ++i) {
              if (!std::isfinite(values[i])) {
                corrupt("vector " + std::to_string(first + i / dim) + " holds a value that is not finite");
              }
            }
          }
          for (std::size_t r = 0; r < count; ++r) core.store.append_stored(values + r * dim);
        });
    section.finish();
  }

  std::int64_t largest_id = -1;
  {
    SectionReader section(source, "LABL");
    section.expect_length(nodes * sizeof(std::int64_t), per_node);
    core.labels.reserve(nodes);
    section.read_records(
        sizeof(std::int64_t), nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
          const auto* ids = reinterpret_cast<const std::int64_t*>(bytes);
          for (std::size_t i = 0; i < count; ++i) {
            if (ids[i] < 0)
              corrupt("node " + std::to_string(first + i) + " has the negative id " + std::to_string(ids[i]));
            largest_id = std::max(largest_id, ids[i]);
            core.labels.push_back(ids[i]);
          }
        });
    section.finish();
  }
  if (largest_id >= 0 && static_cast<std::uint64_t>(largest_id) >= h.state.next_id) {
    corrupt("id " + std::to_string(largest_id) + " is not below the next id");
  }

  std::vector<std::uint8_t> levels(nodes);
  {
    SectionReader section(source, "LEVL");
    section.expect_length(nodes, per_node);
    std::uint64_t upper_lists = 0;
    int top = -1;
    section.read_records(1, nodes, [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
      for (std::size_t i = 0; i < count; ++i) {
        const auto level = static_cast<std::uint8_t>(bytes[i]);
        if (level > kMaxLevel) {
          corrupt("node " + std::to_string(first + i) + " has level " + std::to_string(level) + ", above " +
                  std::to_string(kMaxLevel));
        }
        levels[first + i] = level;
        upper_lists += level;
        top = std::max<int>(top, level);
      }
    });
    section.finish();
    if (upper_lists != h.upper_lists) corrupt("the levels do not add up to the upper-layer list count");
    if (top != h.top_level) corrupt("the top level is not the highest level of a node");
    if (nodes != 0 && levels[h.entry_point] != h.top_level)
      corrupt("the entry point is not on the top level");
  }

  core.graph.reserve(nodes, h.upper_lists);
  for (const std::uint8_t level : levels) core.graph.append(level);
  {
    SectionReader section(source, "LNK0");
    const std::size_t list_bytes = 2 * m * sizeof(std::uint32_t);
    section.expect_length(nodes * list_bytes, per_node + " with m " + std::to_string(m));
    section.read_records(list_bytes, nodes,
                         [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
                           for (std::size_t i = 0; i < count; ++i) {
                             const auto node = static_cast<std::uint32_t>(first + i);
                             read_list(core.graph.slots(node, 0), bytes + i * list_bytes, nodes, node, 0);
                           }
                         });
    section.finish();
  }
  {
    SectionReader section(source, "LNKU");
    const std::size_t list_bytes = m * sizeof(std::uint32_t);
    section.expect_length(h.upper_lists * list_bytes,
                          std::to_string(h.upper_lists) + " upper-layer lists with m " + std::to_string(m));
    // Lists run node by node, layer 1 upwards; a chunk may end inside a node's run.
    std::uint32_t node = 0;
    int level = 0;
    auto advance = [&] {
      while (level >= levels[node]) {
        ++node;
        level = 0;
      }
      ++level;
    };
    section.read_records(
        list_bytes, h.upper_lists, [&](const std::byte* bytes, std::size_t count, std::uint64_t) {
          for (std::size_t i = 0; i < count; ++i) {
            advance();  // never past the last node: the levels add up to the list count
            const auto slots = core.graph.slots(node, level);
            read_list(slots, bytes + i * list_bytes, nodes, node, level);
            for (const std::uint32_t target : slots) {
              if (target != kNoNode && levels[target] < level) {
                corrupt("node " + std::to_string(node) + " links on layer " + std::to_string(level) +
                        " to node " + std::to_string(target) + ", which is not on that layer");
              }
            }
          }
        });
    section.finish();
  }

  {
    SectionReader section(source, "META");
    if (!core.options.schema) section.expect_length(0, "an index without a schema");
    const auto payload = section.take(section.length());
    section.finish();
    if (core.options.schema) {
      Cursor in(payload, section.name());
      in.need(nodes);  // a byte per node at least
      const std::size_t width = core.options.schema->size();
      MetadataRow row;
      for (std::uint64_t node = 0; node < nodes; ++node) {
        const auto has_row = in.next<std::uint8_t>();
        if (has_row > 1) corrupt("the metadata of node " + std::to_string(node) + " has an unknown marker");
        if (has_row == 0) {
          core.metadata.append_no_row();
          continue;
        }
        row.clear();
        for (std::size_t a = 0; a < width; ++a) row.push_back(read_value(in, node));
        core.metadata.append_row(row);
        core.values.append(static_cast<std::uint32_t>(node), row);
      }
      in.expect_end();
    }
  }

  {
    SectionReader section(source, "REMV");
    section.expect_length(h.removed * sizeof(std::uint32_t), std::to_string(h.removed) + " removed vectors");
    core.removed.assign(h.removed != 0 ? nodes : 0, 0);
    std::uint64_t previous = 0;
    section.read_records(sizeof(std::uint32_t), h.removed,
                         [&](const std::byte* bytes, std::size_t count, std::uint64_t first) {
                           const auto* removed = reinterpret_cast<const std::uint32_t*>(bytes);
                           for (std::size_t i = 0; i < count; ++i) {
                             if (removed[i] >= nodes || (first + i != 0 && removed[i] <= previous)) {
                               corrupt("the removed nodes are not distinct stored nodes in ascending order");
                             }
                             previous = removed[i];
                             core.removed[removed[i]] = 1;
                           }
                         });
    section.finish();
    core.removed_count = h.removed;
  }
  if (source.remaining() != 0) corrupt(std::to_string(source.remaining()) + " bytes follow the last section");

  core.nodes_by_label.reserve(nodes - h.removed);
  for (std::uint64_t node = 0; node < nodes; ++node) {
    const auto id = static_cast<std::uint32_t>(node);
    if (core.is_removed(id)) continue;
    if (const auto other = core.nodes_by_label.find(core.labels[id])) {
      corrupt("id " + std::to_string(core.labels[id]) + " belongs to two vectors (nodes " +
              std::to_string(*other) + " and " + std::to_string(node) + ")");
    }
    core.nodes_by_label.insert(core.labels[id], id);
  }
  core.store.set_order(h.dim_order);
  core.entry_point = h.entry_point;
  core.top_level = h.top_level;
}

template void write_index(const IndexCore<FullRows<float>>&, const IndexState&, ByteSink&);
template void write_index(const IndexCore<FullRows<double>>&, const IndexState&, ByteSink&);
template void read_body(ByteSource&, const FileHeader&, IndexCore<FullRows<float>>&);
template void read_body(ByteSource&, const FileHeader&, IndexCore<FullRows<double>>&);

}  // namespace hobrin::ann
