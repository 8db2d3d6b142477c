// The body of the SIMD kernel variants: one stored vector per lane.
//
// A block of kLanes values is loaded from each of kLanes stored vectors, the
// element-wise terms (differences squared, or products) are formed in that
// layout, and a kLanes x kLanes transpose turns them into kLanes registers
// that each hold one position of all the vectors. Adding those registers in
// position order to one accumulator register is, lane by lane, the scalar
// loop: one running sum from +0.0 in index order, each product and sum
// rounded on its own. kGroups groups of kLanes vectors run side by side so
// that their chains of dependent additions can overlap. The last dim % kLanes
// positions are loaded under a mask and only their terms are added.
//
// Each instruction-set file includes this once, inside its variant's
// namespace, after defining `Isa`, the operations on its registers:
//   Vec, Mask           a register of kLanes doubles; a set of lanes
//   kLanes, kGroups     lanes per register; groups of kLanes vectors in flight
//   zero(), broadcast(x)
//   load(p)             kLanes values from p
//   load(p, mask)       the lanes in mask from p, the others 0.0
//   tail_mask(used)     the lanes below `used`
//   add, sub, mul, div, sqrt(a)   lane by lane, each result rounded on its own
//   transpose(t)        t[k] lane j becomes the old t[j] lane k
//   store(p, v)
// It includes nothing itself, and everything but the three entry points has
// internal linkage: each file's copy is compiled for its own instruction set
// and never shared with another's.

namespace {

enum class Kind { Euclidean, Dot, Cosine };

// Adds the terms of `used` positions of one block to the group's sums: the
// difference squared (Euclidean) or the product with the query (dot, cosine),
// and for cosine the vector's own square into the second sum. A full block
// reads all kLanes positions; the last, shorter one only those in `mask`.
template <Kind kind, bool full>
inline void add_block(Isa::Vec q, const double* const* rows, std::size_t at, Isa::Mask mask, std::size_t used,
                      Isa::Vec& sum, Isa::Vec& squares) {
  Isa::Vec t[Isa::kLanes];
  Isa::Vec s[Isa::kLanes];
  for (std::size_t j = 0; j < Isa::kLanes; ++j) {
    Isa::Vec r;
    if constexpr (full) {
      r = Isa::load(rows[j] + at);
    } else {
      r = Isa::load(rows[j] + at, mask);
    }
    if constexpr (kind == Kind::Euclidean) {
      const Isa::Vec d = Isa::sub(q, r);
      t[j] = Isa::mul(d, d);
    } else {
      t[j] = Isa::mul(q, r);
    }
    if constexpr (kind == Kind::Cosine) s[j] = Isa::mul(r, r);
  }
  Isa::transpose(t);
  for (std::size_t k = 0; k < used; ++k) sum = Isa::add(sum, t[k]);
  if constexpr (kind == Kind::Cosine) {
    Isa::transpose(s);
    for (std::size_t k = 0; k < used; ++k) squares = Isa::add(squares, s[k]);
  }
}

// Scores the groups x kLanes vectors rows[0 ..] into out[0 ..].
template <Kind kind, std::size_t groups>
inline void score_groups(const double* query, double query_sum_of_squares, const double* const* rows,
                         std::size_t dim, double* out) {
  constexpr std::size_t lanes = Isa::kLanes;
  Isa::Vec sum[groups];
  Isa::Vec squares[groups];
  for (std::size_t g = 0; g < groups; ++g) {
    sum[g] = Isa::zero();
    squares[g] = Isa::zero();
  }
  const Isa::Mask all = Isa::tail_mask(lanes);
  std::size_t at = 0;
  for (; at + lanes <= dim; at += lanes) {
    const Isa::Vec q = Isa::load(query + at);
    for (std::size_t g = 0; g < groups; ++g) {
      add_block<kind, true>(q, rows + g * lanes, at, all, lanes, sum[g], squares[g]);
    }
  }
  if (at < dim) {
    const std::size_t used = dim - at;
    const Isa::Mask mask = Isa::tail_mask(used);
    const Isa::Vec q = Isa::load(query + at, mask);
    for (std::size_t g = 0; g < groups; ++g) {
      add_block<kind, false>(q, rows + g * lanes, at, mask, used, sum[g], squares[g]);
    }
  }
  for (std::size_t g = 0; g < groups; ++g) {
    Isa::Vec result;
    if constexpr (kind == Kind::Euclidean) {
      result = Isa::sqrt(sum[g]);
    } else if constexpr (kind == Kind::Dot) {
      result = sum[g];
    } else {
      const Isa::Vec query_norm = Isa::sqrt(Isa::broadcast(query_sum_of_squares));
      result = Isa::div(sum[g], Isa::mul(query_norm, Isa::sqrt(squares[g])));
    }
    Isa::store(out + g * lanes, result);
  }
}

template <Kind kind>
void score_all(const double* query, double query_sum_of_squares, const double* const* rows, std::size_t dim,
               std::size_t count, double* out) {
  constexpr std::size_t lanes = Isa::kLanes;
  std::size_t done = 0;
  for (; done + Isa::kGroups * lanes <= count; done += Isa::kGroups * lanes) {
    score_groups<kind, Isa::kGroups>(query, query_sum_of_squares, rows + done, dim, out + done);
  }
  if constexpr (Isa::kGroups > 1) {
    for (; done + lanes <= count; done += lanes) {
      score_groups<kind, 1>(query, query_sum_of_squares, rows + done, dim, out + done);
    }
  }
  if (done < count) {
    // The unused lanes score the first vector again and are discarded.
    const std::size_t left = count - done;
    const double* padded[lanes];
    double scores[lanes];
    for (std::size_t j = 0; j < lanes; ++j) padded[j] = rows[done + (j < left ? j : 0)];
    score_groups<kind, 1>(query, query_sum_of_squares, padded, dim, scores);
    for (std::size_t j = 0; j < left; ++j) out[done + j] = scores[j];
  }
}

}  // namespace

void euclidean(const double* query, double query_sum_of_squares, const double* const* rows, std::size_t dim,
               std::size_t count, double* out) noexcept {
  score_all<Kind::Euclidean>(query, query_sum_of_squares, rows, dim, count, out);
}

void dot(const double* query, double query_sum_of_squares, const double* const* rows, std::size_t dim,
         std::size_t count, double* out) noexcept {
  score_all<Kind::Dot>(query, query_sum_of_squares, rows, dim, count, out);
}

void cosine(const double* query, double query_sum_of_squares, const double* const* rows, std::size_t dim,
            std::size_t count, double* out) noexcept {
  score_all<Kind::Cosine>(query, query_sum_of_squares, rows, dim, count, out);
}
