#include "hobrin_ann/filters/value_index.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <variant>

namespace hobrin {

std::size_t MetadataHash::operator()(const Metadata& value) const noexcept {
  const std::size_t kind = value.value.index();
  std::size_t payload = 0;
  if (const auto* text = std::get_if<std::string>(&value.value)) {
    payload = std::hash<std::string>{}(*text);
  } else if (const auto* integer = std::get_if<std::int64_t>(&value.value)) {
    payload = std::hash<std::int64_t>{}(*integer);
  } else if (const auto* number = std::get_if<double>(&value.value)) {
    payload = std::hash<double>{}(*number == 0.0 ? 0.0 : *number);  // +0.0 and -0.0 are equal
  }
  return payload * 31 + kind;
}

void ValueIndex::append(std::uint32_t node, std::span<const Metadata> row) {
  for (std::size_t attribute = 0; attribute < row.size() && attribute < by_attribute_.size(); ++attribute) {
    const Metadata& value = row[attribute];
    if (const auto* number = std::get_if<double>(&value.value); number != nullptr && std::isnan(*number)) {
      continue;  // NaN equals nothing, so no filter can ask for it
    }
    by_attribute_[attribute][value].push_back(node);
  }
}

namespace {
bool is_nan(const Metadata& value) noexcept {
  const auto* number = std::get_if<double>(&value.value);
  return number != nullptr && std::isnan(*number);
}
}  // namespace

void ValueIndex::insert(std::uint32_t node, std::span<const Metadata> row) {
  for (std::size_t attribute = 0; attribute < row.size() && attribute < by_attribute_.size(); ++attribute) {
    if (is_nan(row[attribute])) continue;
    auto& list = by_attribute_[attribute][row[attribute]];
    const auto at = std::lower_bound(list.begin(), list.end(), node);
    if (at == list.end() || *at != node) list.insert(at, node);
  }
}

void ValueIndex::erase(std::uint32_t node, std::span<const Metadata> row,
                       std::span<const Metadata> kept) noexcept {
  for (std::size_t attribute = 0; attribute < row.size() && attribute < by_attribute_.size(); ++attribute) {
    if (attribute < kept.size() && kept[attribute] == row[attribute]) continue;
    auto& lists = by_attribute_[attribute];
    const auto found = lists.find(row[attribute]);
    if (found == lists.end()) continue;
    auto& list = found->second;
    const auto at = std::lower_bound(list.begin(), list.end(), node);
    if (at != list.end() && *at == node) list.erase(at);
    if (list.empty()) lists.erase(found);
  }
}

void ValueIndex::truncate(std::size_t nodes) noexcept {
  for (Lists& lists : by_attribute_) {
    for (auto it = lists.begin(); it != lists.end();) {
      auto& list = it->second;
      while (!list.empty() && list.back() >= nodes) list.pop_back();
      it = list.empty() ? lists.erase(it) : std::next(it);
    }
  }
}

std::span<const std::uint32_t> ValueIndex::nodes_with(std::size_t attribute,
                                                      const Metadata& value) const noexcept {
  if (attribute >= by_attribute_.size()) return {};
  const auto found = by_attribute_[attribute].find(value);
  if (found == by_attribute_[attribute].end()) return {};
  return found->second;
}

}  // namespace hobrin
