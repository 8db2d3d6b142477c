#pragma once
// Typed metadata values, the schema that names them, and the per-node store of
// metadata rows kept by the graph index.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace hobrin {

struct Metadata;
// Several values of one attribute (tags), each a String, Int or Float. Only
// hobrin_ann stores them; PyHNSW's rows hold single values.
//
// A class with its copy and move declared here and defined where Metadata is
// complete, not an alias of the vector: a variant holding a vector of its own
// incomplete type gets the wrong copy constructor from GCC 12's library, which
// destroys memory it never built when copying a value throws (out of memory).
class MetadataList : public std::vector<Metadata> {
 public:
  MetadataList() noexcept;
  explicit MetadataList(std::vector<Metadata> items) noexcept;
  MetadataList(const MetadataList& other);
  MetadataList(MetadataList&& other) noexcept;
  MetadataList& operator=(const MetadataList& other);
  MetadataList& operator=(MetadataList&& other) noexcept;
  ~MetadataList();
};

// One value of kind String, Int or Float, or a list of such values, in that
// order of alternatives.
struct Metadata {
  std::variant<std::string, std::int64_t, double, MetadataList> value;

  // Same kind and equal payload: text byte for byte, integers as integers,
  // floats by IEEE equality (NaN equals nothing, +0.0 equals -0.0), lists
  // element by element. Values of different kinds never compare equal, so
  // Int 1 differs from Float 1.0.
  friend bool operator==(const Metadata& a, const Metadata& b) noexcept;
};

// One node's values, one per schema attribute, in schema order.
using MetadataRow = std::vector<Metadata>;

// Attribute names in the caller's order; may be empty or repeat a name.
using Schema = std::vector<std::string>;

// Position of the first schema attribute named `name`, byte for byte.
std::optional<std::size_t> schema_position(const Schema& schema, std::string_view name) noexcept;

// The rows of all nodes back to back in one array, plus where each node's row
// starts. A node inserted without metadata has no row; keeping a start per node
// keeps every later node's row with its own node whatever the mix.
class MetadataStore {
 public:
  // Exactly one of these is called per node, in node order. Both leave the
  // store unchanged when they throw.
  void append_row(const MetadataRow& row);
  void append_no_row();

  // Gives an existing node the row `row`: in place where it has a row of
  // that length, else appended. Unchanged when it throws.
  void set_row(std::size_t node, const MetadataRow& row);
  // Leaves an existing node without a row.
  void drop_row(std::size_t node) noexcept { row_starts_[node] = kNoRow; }

  // The node's row of `row_length` values, or nullopt when it has none.
  std::optional<std::span<const Metadata>> row(std::size_t node, std::size_t row_length) const;

  // Forgets every node from `node_count` on, with its values.
  void truncate_nodes(std::size_t node_count) noexcept;

  std::size_t node_count() const noexcept { return row_starts_.size(); }

 private:
  static constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

  std::vector<Metadata> values_;          // all rows, in node order
  std::vector<std::size_t> row_starts_;   // per node: start in values_, or kNoRow
};

}  // namespace hobrin
