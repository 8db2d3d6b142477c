#include "hobrin/hnsw/result_list.hpp"

#include <algorithm>
#include <cmath>

namespace hobrin {

namespace {

// The number of leading entries whose distance is IEEE-less than `distance`,
// for a list without NaN and a number: a binary search without branches on
// the data, whose outcome a processor cannot predict.
std::size_t count_less(std::span<const Candidate> list, double distance) noexcept {
  const Candidate* base = list.data();
  std::size_t length = list.size();
  if (length == 0) return 0;
  while (length > 1) {
    const std::size_t half = length / 2;
    const bool less = base[half - 1].distance < distance;
    base += half & (std::size_t{0} - static_cast<std::size_t>(less));
    length -= half;
  }
  return static_cast<std::size_t>(base - list.data()) + (base->distance < distance ? 1 : 0);
}

}  // namespace

std::size_t result_position(std::span<const Candidate> list, double distance) noexcept {
  // Without NaN in the list (it would be last) or as the distance, the order
  // is plain IEEE order, in which -0.0 equals +0.0.
  if (!std::isnan(distance) && (list.empty() || !std::isnan(list.back().distance))) {
    const std::size_t first = count_less(list, distance);
    // Equal distances are rare, and the insertion moves the entries behind
    // them anyway.
    std::size_t past_equal = first;
    while (past_equal < list.size() && list[past_equal].distance == distance) ++past_equal;
    return past_equal == first ? first : past_equal - 1;
  }
  const auto first = std::partition_point(list.begin(), list.end(), [&](const Candidate& e) {
    return compare_distance(e.distance, distance) < 0;
  });
  const auto past_equal = std::partition_point(
      first, list.end(), [&](const Candidate& e) { return compare_distance(e.distance, distance) == 0; });
  const auto at = first == past_equal ? first : past_equal - 1;
  return static_cast<std::size_t>(at - list.begin());
}

bool admit(std::vector<Candidate>& list, std::uint64_t ef, Candidate candidate) {
  if (list.size() < ef) {
    const std::size_t at = result_position(list, candidate.distance);
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), candidate);
    return true;
  }
  // Plain less-than: a NaN is admitted only into a list with room, and nothing
  // is admitted against a NaN last entry once the list is full.
  if (!(candidate.distance < list.back().distance)) return false;
  // The new pair lands before the last entry, which it pushes out; dropping
  // that entry first keeps the insertion within the list's capacity.
  const std::size_t at = result_position(list, candidate.distance);
  list.pop_back();
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), candidate);
  return true;
}

}  // namespace hobrin
