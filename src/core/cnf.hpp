// A list of clauses stored flat: one literal vector and the end offset of
// every clause.  This is the converted form of Python clause lists
// (src/lib/binding.cpp builds it in one pass without an allocation per
// clause) that the solver, the checker and the portfolio take as input; the
// arena of arena.hpp is the form that also drops duplicates and tautologies.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lit.hpp"

namespace nv {

struct Cnf {
    std::vector<Lit> lits;
    std::vector<size_t> ends;  // clause i is lits[ends[i-1] .. ends[i])

    size_t size() const noexcept { return ends.size(); }
    bool empty() const noexcept { return ends.empty(); }
    std::span<const Lit> operator[](size_t i) const noexcept {
        size_t b = i == 0 ? 0 : ends[i - 1];
        return {lits.data() + b, ends[i] - b};
    }
    void push(std::span<const Lit> c) {
        lits.insert(lits.end(), c.begin(), c.end());
        ends.push_back(lits.size());
    }
    // Close the clause made of the literals appended since the last close.
    void close() { ends.push_back(lits.size()); }
};

// Proof steps in the same flat form, with one deletion flag per step.
struct StepList {
    Cnf clauses;
    std::vector<bool> is_deletion;
    size_t size() const noexcept { return is_deletion.size(); }
};

}  // namespace nv
