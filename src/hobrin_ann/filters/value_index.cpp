#include "hobrin_ann/filters/value_index.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <string>
#include <variant>

namespace hobrin {
namespace {

// An integer against a float that is not NaN, exactly: converting either to
// the other's kind could round.
int compare_mixed(std::int64_t integer, double number) noexcept {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (number >= kTwo63) return -1;
  if (number < -kTwo63) return 1;
  const double whole = std::trunc(number);
  const auto truncated = static_cast<std::int64_t>(whole);
  if (integer != truncated) return integer < truncated ? -1 : 1;
  return number > whole ? -1 : number < whole ? 1 : 0;
}

template <class T>
int sign(const T& a, const T& b) noexcept {
  return a < b ? -1 : b < a ? 1 : 0;
}

}  // namespace

int compare_values(const Metadata& a, const Metadata& b) noexcept {
  const auto* text_a = std::get_if<std::string>(&a.value);
  const auto* text_b = std::get_if<std::string>(&b.value);
  if (text_a || text_b) {
    if (!text_a || !text_b) return text_a ? 1 : -1;
    const int order = text_a->compare(*text_b);  // as unsigned bytes: code point order
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
  const auto* int_a = std::get_if<std::int64_t>(&a.value);
  const auto* int_b = std::get_if<std::int64_t>(&b.value);
  const auto* float_a = std::get_if<double>(&a.value);
  const auto* float_b = std::get_if<double>(&b.value);
  if (int_a && int_b) return sign(*int_a, *int_b);
  if (float_a && float_b) return sign(*float_a, *float_b);
  if (int_a && float_b) return compare_mixed(*int_a, *float_b);
  if (float_a && int_b) return -compare_mixed(*int_b, *float_a);
  return 0;  // lists and valueless: never keys
}

void ValueIndex::add(Lists& lists, std::uint32_t node, const Metadata& value) {
  if (const auto* list = std::get_if<MetadataList>(&value.value)) {
    for (const Metadata& element : *list) add(lists, node, element);  // scalars: one level
    return;
  }
  if (const auto* number = std::get_if<double>(&value.value); number != nullptr && std::isnan(*number)) {
    return;  // NaN equals nothing and lies in no range, so no filter can ask for it
  }
  auto& list = lists[value];
  if (list.empty() || list.back() != node) list.push_back(node);
}

void ValueIndex::append(std::uint32_t node, std::span<const Metadata> row) {
  ++version_;
  if (with_row_.size() <= node / 64) with_row_.resize(node / 64 + 1, 0);
  for (std::size_t attribute = 0; attribute < row.size() && attribute < by_attribute_.size(); ++attribute) {
    add(by_attribute_[attribute], node, row[attribute]);
  }
  with_row_[node / 64] |= std::uint64_t{1} << (node % 64);
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
  ++version_;
  for (Lists& lists : by_attribute_) {
    for (auto it = lists.begin(); it != lists.end();) {
      auto& list = it->second;
      while (!list.empty() && list.back() >= nodes) list.pop_back();
      it = list.empty() ? lists.erase(it) : std::next(it);
    }
  }
  if (with_row_.size() > (nodes + 63) / 64) with_row_.resize((nodes + 63) / 64);
  if (nodes % 64 != 0 && !with_row_.empty() && with_row_.size() == (nodes + 63) / 64)
    with_row_.back() &= (std::uint64_t{1} << (nodes % 64)) - 1;
}

std::span<const std::uint32_t> ValueIndex::nodes_with(std::size_t attribute,
                                                      const Metadata& value) const noexcept {
  if (attribute >= by_attribute_.size()) return {};
  if (const auto* number = std::get_if<double>(&value.value); number != nullptr && std::isnan(*number))
    return {};
  const auto found = by_attribute_[attribute].find(value);
  if (found == by_attribute_[attribute].end()) return {};
  return found->second;
}

const ValueIndex::Flat& ValueIndex::flat(std::size_t attribute) const {
  std::lock_guard lock(flat_mutex_);
  Flat& flat = flat_[attribute];
  if (flat.version == version_) return flat;
  Flat fresh;
  const Lists& lists = by_attribute_[attribute];
  fresh.values.reserve(lists.size());
  fresh.starts.reserve(lists.size() + 1);
  for (const auto& [value, list] : lists) {
    fresh.values.push_back(value);
    fresh.starts.push_back(fresh.nodes.size());
    fresh.nodes.insert(fresh.nodes.end(), list.begin(), list.end());
  }
  fresh.starts.push_back(fresh.nodes.size());
  fresh.version = version_;
  flat = std::move(fresh);
  return flat;
}

void ValueIndex::for_each_in_range(std::size_t attribute, bool text, RangeEnd low, RangeEnd high,
                                   const std::function<void(std::span<const std::uint32_t>)>& visit) const {
  if (attribute >= by_attribute_.size()) return;
  const Flat& f = flat(attribute);
  const auto begin = f.values.begin(), end = f.values.end();
  const ValueOrder less;
  const auto text_from = std::lower_bound(begin, end, kFirstText, less);
  auto first = low.value ? (low.inclusive ? std::lower_bound(begin, end, *low.value, less)
                                          : std::upper_bound(begin, end, *low.value, less))
               : text    ? text_from
                         : begin;
  auto last = high.value ? (high.inclusive ? std::upper_bound(begin, end, *high.value, less)
                                           : std::lower_bound(begin, end, *high.value, less))
              : text     ? end
                         : text_from;
  if (first >= last) return;
  const std::size_t from = f.starts[static_cast<std::size_t>(first - begin)];
  const std::size_t to = f.starts[static_cast<std::size_t>(last - begin)];
  visit(std::span<const std::uint32_t>(f.nodes.data() + from, to - from));
}

bool ValueIndex::holds_text(std::size_t attribute) const noexcept {
  return attribute < by_attribute_.size() && !by_attribute_[attribute].empty() &&
         std::holds_alternative<std::string>(by_attribute_[attribute].rbegin()->first.value);
}

bool ValueIndex::holds_numbers(std::size_t attribute) const noexcept {
  return attribute < by_attribute_.size() && !by_attribute_[attribute].empty() &&
         !std::holds_alternative<std::string>(by_attribute_[attribute].begin()->first.value);
}

}  // namespace hobrin
