#pragma once
// Scoring a long batch of stored vectors as several far-apart runs read side
// by side. A kernel that reads several vectors in step streams neighbouring
// vectors from memory at about half speed, but far-apart ones at full speed;
// the vectors of a long batch often lie next to each other (the exact index
// stores them in id order, and the oldest graph nodes' lists name the nodes in
// insertion order). So the batch is cut into `runs` equal runs and handed to
// the kernel one vector of each run after the other: item s of every run,
// then item s + 1 of every run, and so on.
#include <algorithm>
#include <cstddef>

#include "hobrin/distance/kernels.hpp"

namespace hobrin {

// Calls visit(position, item) for steps first .. last - 1 of `runs` runs of
// `run` items each, side by side: run r holds items r * run .. r * run + run - 1,
// and step s visits item s of each run in turn. Positions count from 0 at
// step `first`.
template <class Visit>
inline void visit_side_by_side(std::size_t runs, std::size_t run, std::size_t first, std::size_t last,
                               const Visit& visit) {
  std::size_t position = 0;
  for (std::size_t s = first; s < last; ++s) {
    for (std::size_t r = 0; r < runs; ++r) visit(position++, r * run + s);
  }
}

// Scores items 0 .. count - 1: the first runs * (count / runs) of them as
// `runs` runs side by side, the few left over in item order, at most `room`
// per call of the scorer. row(i) is item i's stored vector; take(i, score)
// receives item i's score, in the order scored. `rows` and `out` are scratch
// of `room` entries each, and room >= runs >= 1.
template <class Row, class Take>
void score_side_by_side(const BatchScorer& scorer, std::size_t count, std::size_t runs, const Row& row,
                        const Take& take, const double** rows, double* out, std::size_t room) {
  const std::size_t run = count / runs;
  const std::size_t steps_per_call = room / runs;
  for (std::size_t step = 0; step < run; step += steps_per_call) {
    const std::size_t last = std::min(run, step + steps_per_call);
    visit_side_by_side(runs, run, step, last,
                       [&](std::size_t at, std::size_t item) { rows[at] = row(item); });
    scorer.score(rows, (last - step) * runs, out);
    visit_side_by_side(runs, run, step, last, [&](std::size_t at, std::size_t item) { take(item, out[at]); });
  }
  for (std::size_t first = runs * run; first < count; first += room) {
    const std::size_t scored = std::min(room, count - first);
    for (std::size_t j = 0; j < scored; ++j) rows[j] = row(first + j);
    scorer.score(rows, scored, out);
    for (std::size_t j = 0; j < scored; ++j) take(first + j, out[j]);
  }
}

}  // namespace hobrin
