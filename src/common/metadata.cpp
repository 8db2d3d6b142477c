#include "common/metadata.hpp"

#include <utility>

#include "common/fault.hpp"

namespace hobrin {

MetadataList::MetadataList() noexcept = default;
MetadataList::MetadataList(std::vector<Metadata> items) noexcept : std::vector<Metadata>(std::move(items)) {}
MetadataList::MetadataList(const MetadataList& other) = default;
MetadataList::MetadataList(MetadataList&& other) noexcept = default;
MetadataList& MetadataList::operator=(const MetadataList& other) = default;
MetadataList& MetadataList::operator=(MetadataList&& other) noexcept = default;
MetadataList::~MetadataList() = default;

bool operator==(const Metadata& a, const Metadata& b) noexcept {
  if (a.value.index() != b.value.index()) return false;
  if (const auto* text = std::get_if<std::string>(&a.value)) {
    return *text == std::get<std::string>(b.value);
  }
  if (const auto* integer = std::get_if<std::int64_t>(&a.value)) {
    return *integer == std::get<std::int64_t>(b.value);
  }
  if (const auto* number = std::get_if<double>(&a.value)) {
    return *number == std::get<double>(b.value);
  }
  if (const auto* list = std::get_if<MetadataList>(&a.value)) {
    const std::vector<Metadata>& mine = *list;
    const std::vector<Metadata>& theirs = std::get<MetadataList>(b.value);
    return mine == theirs;
  }
  return false;  // both valueless: nothing to compare
}

std::optional<std::size_t> schema_position(const Schema& schema, std::string_view name) noexcept {
  for (std::size_t i = 0; i < schema.size(); ++i) {
    if (schema[i] == name) return i;
  }
  return std::nullopt;
}

void MetadataStore::append_row(const MetadataRow& row) {
  const std::size_t old_size = values_.size();
  row_starts_.push_back(old_size);
  try {
    values_.insert(values_.end(), row.begin(), row.end());
  } catch (...) {
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(old_size), values_.end());
    row_starts_.pop_back();
    throw;
  }
}

void MetadataStore::set_row(std::size_t node, const MetadataRow& row) {
  const std::size_t start = row_starts_[node];
  if (start != kNoRow && row.size() <= values_.size() - start) {
    std::vector<Metadata> copy(row);  // may throw; then nothing has changed
    std::move(copy.begin(), copy.end(), values_.begin() + static_cast<std::ptrdiff_t>(start));
    return;
  }
  const std::size_t old_size = values_.size();
  try {
    values_.insert(values_.end(), row.begin(), row.end());
  } catch (...) {
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(old_size), values_.end());
    throw;
  }
  row_starts_[node] = old_size;
}

void MetadataStore::append_no_row() { row_starts_.push_back(kNoRow); }

std::optional<std::span<const Metadata>> MetadataStore::row(std::size_t node, std::size_t row_length) const {
  check_invariant(node < row_starts_.size(), "metadata asked for a node that does not exist");
  const std::size_t start = row_starts_[node];
  if (start == kNoRow) return std::nullopt;
  check_invariant(row_length <= values_.size() - start, "metadata row runs past the store");
  return std::span<const Metadata>(values_.data() + start, row_length);
}

void MetadataStore::truncate_nodes(std::size_t node_count) noexcept {
  if (node_count >= row_starts_.size()) return;
  // Rows are appended in node order, so the first dropped node that has a row
  // marks where the dropped values begin.
  std::size_t cut = values_.size();
  for (std::size_t node = node_count; node < row_starts_.size(); ++node) {
    if (row_starts_[node] != kNoRow) {
      cut = row_starts_[node];
      break;
    }
  }
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(cut), values_.end());
  row_starts_.resize(node_count);
}

}  // namespace hobrin
