// Consistency report of the watch lists against the clause records.
#include <string>

#include "state.hpp"

namespace nv {

std::vector<std::string> Solver::State::check_watch_invariant() const {
    std::vector<uint64_t> counts(clauses.size(), 0);
    std::vector<std::string> problems;
    for (size_t w = 0; w < watches.size(); ++w) {
        for (const Watch& wt : watches[w]) {
            uint32_t c = wt.clause;
            if (c >= clauses.size())
                throw Panic("watch list " + std::to_string(w) + " names clause " + std::to_string(c) + " but only " +
                            std::to_string(clauses.size()) + " clauses exist");
            const ClauseRef& cr = clauses[c];
            if (cinfo[c].deleted) problems.push_back("deleted clause still watched by " + std::to_string(w));
            Lit want = static_cast<Lit>(w) ^ 1u;
            if (static_cast<uint64_t>(cr.start) + cr.len > arena.size())
                throw Panic("clause " + std::to_string(c) + " reaches past the end of the literal arena");
            if (cr.len < 1) throw Panic("clause " + std::to_string(c) + " has no literal at position 0");
            if (arena[cr.start] != want) {
                if (cr.len < 2) throw Panic("clause " + std::to_string(c) + " has no literal at position 1");
                if (arena[cr.start + 1] != want)
                    problems.push_back("clause " + std::to_string(c) + " in watches[" + std::to_string(w) +
                                       "] does not watch it");
            }
            counts[c] += 1;
        }
    }
    for (const std::vector<uint32_t>* list : {&problem, &learnts}) {
        for (uint32_t c : *list) {
            if (c >= clauses.size())
                throw Panic("clause list names clause " + std::to_string(c) + " but only " +
                            std::to_string(clauses.size()) + " clauses exist");
            if (!cinfo[c].deleted && counts[c] != 2)
                problems.push_back("clause " + std::to_string(c) + " has " + std::to_string(counts[c]) +
                                   " watchers, want 2");
        }
    }
    return problems;
}

}  // namespace nv
