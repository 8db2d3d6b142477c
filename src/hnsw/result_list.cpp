#include "hnsw/result_list.hpp"

#include <algorithm>

namespace hobrin {

std::size_t result_position(std::span<const Candidate> list, double distance) noexcept {
  const auto first = std::partition_point(list.begin(), list.end(), [&](const Candidate& e) {
    return compare_distance(e.distance, distance) < 0;
  });
  const auto past_equal = std::partition_point(first, list.end(), [&](const Candidate& e) {
    return compare_distance(e.distance, distance) == 0;
  });
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
