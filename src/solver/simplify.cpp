// Top-level simplification: once the search is back at level 0 with new
// fixed literals, clauses satisfied at level 0 are deleted and false
// literals cut out of the rest, in place in the arena (the proof records the
// shorter clause, then the deletion of the longer); reasons are left alone.
// Each clause list is cleaned in one pass, which polls like the other long
// passes and, when halted, leaves the clauses it has not reached as they
// were.  The search loop (search.cpp) decides when to run it; the arena
// collection it ends with is reduce.cpp's.
#include "state.hpp"

namespace nv {

void Solver::State::clean_list(std::vector<CRef>& list) {
    size_t j = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (poll_due()) {
            // Halted: the clauses not looked at yet stay as they are.
            while (i < list.size()) list[j++] = list[i++];
            break;
        }
        CRef ci = list[i];
        if (is_deleted(ci)) continue;
        if (locked(ci)) {
            list[j++] = ci;
            continue;
        }
        Lit* cl = lits_of(ci);
        uint32_t len = len_of(ci);
        poll_work += len + 1;
        bool any_true = false, any_false = false;
        for (uint32_t k = 0; k < len; ++k) {
            uint8_t v = vals[cl[k]];
            if (v == 1) {
                any_true = true;
                break;
            }
            if (v == 2) any_false = true;
        }
        if (any_true) {
            log_del(cl, len);
            detach(ci);
            mark_deleted(ci);
            continue;
        }
        if (!any_false) {
            list[j++] = ci;
            continue;
        }
        std::vector<Lit>& shorter = add_buf;
        shorter.clear();
        for (uint32_t k = 0; k < len; ++k)
            if (vals[cl[k]] != 2) shorter.push_back(cl[k]);
        if (shorter.size() < 2 || vals[shorter[0]] != 0 || vals[shorter[1]] != 0)
            throw Panic("top-level simplification met a clause that propagation left unit");
        log_add(shorter.data(), shorter.size());
        detach(ci);
        log_del(cl, len);
        for (size_t k = 0; k < shorter.size(); ++k) cl[k] = shorter[k];
        arena_waste += len - shorter.size();
        set_len(ci, static_cast<uint32_t>(shorter.size()));
        attach(ci);
        list[j++] = ci;
    }
    list.resize(j);
}

bool Solver::State::simplify() {
    if (propagate() == NO_CLAUSE) {
        // A halted search leaves the cleaning (or its rest) to a later call:
        // `simp_props` and `simp_trail` stay as they were.
        if (halted) return true;
        // Without a literal fixed since the last cleaning, no clause can be
        // satisfied or shortened now, and the lists hold no deleted clause.
        if (trail.size() != simp_trail) {
            clean_list(learnts);
            clean_list(problem);
            collect_arena();
        }
        if (propagate() == NO_CLAUSE) {
            if (halted) return true;
            simp_props = stats.propagations;
            simp_trail = trail.size();
            return true;
        }
    }
    log_empty();
    ok = false;
    return false;
}

}  // namespace nv
