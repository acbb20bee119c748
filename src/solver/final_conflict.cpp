// Final conflict analysis: which assumptions made an assumption false.
//
// When the search reaches an assumption that is already false, every decision
// on the trail is an assumption.  Walking the trail backwards from the false
// literal through the reasons of implied literals finds the assumptions it
// depends on; together with the failed assumption itself they form the core,
// reported in the order the assumptions were given (each literal once).  The
// clause of the negated core follows from the clauses the reasons came from by
// unit propagation, so it is what the proof records for this answer.  The
// search loop (search.cpp) calls this and then backtracks to level 0.
#include "state.hpp"

namespace nv {

void Solver::State::analyze_final(Lit p) {
    // Marks: bit 1 and bit 2 of seen[] name the positive and the negative
    // literal of a variable in the core; bit 4 a variable still to explain.
    constexpr uint8_t EXPLAIN = 4;
    auto bit = [](Lit l) -> uint8_t { return is_neg(l) ? 2 : 1; };
    std::vector<Lit>& failed = toclear;  // empty between conflicts
    failed.clear();
    failed.push_back(p);
    seen[var_of(p)] = bit(p);
    if (level[var_of(p)] > 0) {
        seen[var_of(p)] |= EXPLAIN;
        for (size_t i = trail.size(); i-- > trail_lim[0];) {
            Lit x = trail[i];
            uint32_t v = var_of(x);
            if ((seen[v] & EXPLAIN) == 0) continue;
            seen[v] &= static_cast<uint8_t>(~EXPLAIN);
            uint32_t r = reason[v];
            if (r == NO_REASON) {
                // A decision below an assumption's turn is an assumption.
                if ((seen[v] & bit(x)) == 0) failed.push_back(x);
                seen[v] |= bit(x);
                continue;
            }
            const Lit* cl = lits_of(r);
            const uint32_t len = len_of(r);
            for (uint32_t k = 1; k < len; ++k) {
                uint32_t u = var_of(cl[k]);
                if (level[u] > 0) seen[u] |= EXPLAIN;
            }
        }
    }
    // In the order given; a repeated assumption counts once.
    core.clear();
    for (Lit a : assumptions) {
        uint32_t v = var_of(a);
        if (seen[v] & bit(a)) {
            core.push_back(a);
            seen[v] &= static_cast<uint8_t>(~bit(a));
        }
    }
    for (Lit l : failed) seen[var_of(l)] = 0;
    failed.clear();

    if (proof.on()) {
        std::vector<Lit>& clause = learnt_buf;
        clause.clear();
        for (Lit a : core) clause.push_back(neg(a));
        log_add(clause.data(), clause.size());
    }
}

}  // namespace nv
