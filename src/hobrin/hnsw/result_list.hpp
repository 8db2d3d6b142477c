#pragma once
// The result list of a layer search: (distance, node) pairs kept in ascending
// order of distance, at most ef long.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hobrin/distance/candidate.hpp"

namespace hobrin {

// Where a pair of distance `distance` goes: after every entry with a smaller
// distance, before every entry with a greater one, and immediately before the
// last of the entries with an equal distance (NaN ranks last and equals NaN).
std::size_t result_position(std::span<const Candidate> list, double distance) noexcept;

// Admits `candidate` when the list holds fewer than `ef` entries or its
// distance is IEEE-less than the last entry's, dropping the entry pushed past
// `ef`. Returns whether it was admitted. Requires ef >= 1.
bool admit(std::vector<Candidate>& list, std::uint64_t ef, Candidate candidate);

}  // namespace hobrin
