// Where a clause, read from its first literal on, turns out to be a
// tautology.
//
// Adding a clause walks its literals in order, and the walk stops at the
// first literal whose complement came earlier.  Before anything grows, the
// solver (vars_needed in src/solver/propagate.cpp) and the preprocessor
// (grow_target in src/preprocess/store.cpp) need that position, to know the
// variables the walk will create.  It is found without quadratic work:
// literal and position pairs are sorted, which groups each literal's
// occurrences by position and puts a variable's positive group right before
// its negative one; the first occurrences of the two signs give the position
// at which that variable makes the clause a tautology.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lit.hpp"

namespace nv {

// The position of the first literal of lits[0..n) whose complement occurs
// before it, or n when there is none.  `scratch` is reused between calls.
// Throws std::bad_alloc for n >= 2^32 (more literals than positions fit in
// the sort keys).
size_t tautology_position(const Lit* lits, size_t n, std::vector<uint64_t>& scratch);

}  // namespace nv
