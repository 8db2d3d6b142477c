#include "hobrin_ann/filters/value_index.hpp"

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
