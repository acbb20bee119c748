// Consistency report of the watch lists against the clause store, for tests
// and diagnostics: every live clause is watched twice, by its first two
// literals, with the two-literal mark exactly on clauses of two, and no
// watch names a deleted clause.  A reference outside the arena is a Panic.  Clauses are named by their reference (arena
// position).  The search itself only asserts these properties in debug
// builds (propagate.cpp).
#include <string>

#include "state.hpp"

namespace nv {

std::vector<std::string> Solver::State::check_watch_invariant() const {
    std::vector<uint32_t> counts(arena.size(), 0);
    std::vector<std::string> problems;
    for (size_t w = 0; w < watches.size(); ++w) {
        for (const Watch& wt : watches[w]) {
            CRef c = wt.cref();
            if (!in_arena(c))
                throw Panic("watch list " + std::to_string(w) + " names clause " + std::to_string(c) +
                            " but the clause arena ends at " + std::to_string(arena.size()));
            if (is_deleted(c)) problems.push_back("deleted clause still watched by " + std::to_string(w));
            uint32_t len = len_of(c);
            Lit want = static_cast<Lit>(w) ^ 1u;
            if (len < 1) throw Panic("clause " + std::to_string(c) + " has no literal at position 0");
            if (lits_of(c)[0] != want) {
                if (len < 2) throw Panic("clause " + std::to_string(c) + " has no literal at position 1");
                if (lits_of(c)[1] != want)
                    problems.push_back("clause " + std::to_string(c) + " in watches[" + std::to_string(w) +
                                       "] does not watch it");
            }
            if (wt.binary() != (len == 2))
                problems.push_back("clause " + std::to_string(c) + " in watches[" + std::to_string(w) +
                                   "] has a wrong two-literal mark");
            counts[c] += 1;
        }
    }
    for (const std::vector<CRef>* list : {&problem, &learnts}) {
        for (CRef c : *list) {
            if (!in_arena(c))
                throw Panic("clause list names clause " + std::to_string(c) + " but the clause arena ends at " +
                            std::to_string(arena.size()));
            if (!is_deleted(c) && counts[c] != 2)
                problems.push_back("clause " + std::to_string(c) + " has " + std::to_string(counts[c]) +
                                   " watchers, want 2");
        }
    }
    return problems;
}

}  // namespace nv
