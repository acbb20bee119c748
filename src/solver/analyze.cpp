// Conflict analysis: from a conflicting clause to the learned clause that
// is added and asserted after backjumping.
//
// analyze() runs the steps in order: the first-UIP derivation walks the
// trail back from the conflict, resolving on the reasons of the current
// level's literals and bumping every variable it meets; minimization drops
// literals implied by the rest of the clause (recursively through the
// implication graph, or by their reason alone); the backjump level is the
// highest level left in the clause, whose literal moves to the second
// position; the glue is the clause's number of distinct levels.  Then the
// restart averages take the conflict in (search.cpp, beside the restart
// policy), the solver backjumps (propagate.cpp), and the clause is logged,
// stored, watched and asserted; activities decay and the learned-clause
// reduction (reduce.cpp) runs when its turn has come.
#include <new>
#include <utility>

#include "state.hpp"

namespace nv {

uint32_t Solver::State::count_glue(const Lit* lits, size_t n) noexcept {
    stamp += 1;
    uint32_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t lv = level[var_of(lits[i])];
        if (level_stamp[lv] != stamp) {
            level_stamp[lv] = stamp;
            count += 1;
        }
    }
    return count;
}

// Is l implied by the other literals of the learned clause?  Walks the
// implication graph through variables whose level occurs in the clause.
bool Solver::State::lit_redundant(Lit l, uint32_t abstract_levels) {
    stack_buf.clear();
    stack_buf.push_back(l);
    size_t top = toclear.size();
    while (!stack_buf.empty()) {
        Lit q = stack_buf.back();
        stack_buf.pop_back();
        CRef c = reason[var_of(q)];
        uint32_t len = len_of(c);
        const Lit* cl = lits_of(c);
        for (uint32_t k = 1; k < len; ++k) {
            Lit r = cl[k];
            uint32_t v = var_of(r);
            if (seen[v] || level[v] == 0) continue;
            if (reason[v] != NO_REASON && (abstract_levels & (1u << (level[v] & 31))) != 0) {
                seen[v] = 1;
                stack_buf.push_back(r);
                toclear.push_back(r);
            } else {
                for (size_t t = top; t < toclear.size(); ++t) seen[var_of(toclear[t])] = 0;
                toclear.resize(top);
                return false;
            }
        }
    }
    return true;
}

void Solver::State::analyze(uint32_t confl) {
    std::vector<Lit>& L = learnt_buf;
    derive_first_uip(confl);
    // Every literal of the clause is to be unmarked at the end.
    toclear.assign(L.begin(), L.end());
    minimize();
    const uint32_t bt = backjump_level();
    const uint32_t glue = count_glue(L.data(), L.size());
    for (Lit l : toclear) seen[var_of(l)] = 0;
    toclear.clear();
    update_restart_averages(glue);
    cancel_until(bt);
    learn(glue);
    decay_activities();
    if (stats.conflicts >= next_reduce) reduce_db();
}

// The first-UIP clause of a conflict into learnt_buf: the asserting literal
// first, then the literals of lower levels in the order met, each marked in
// `seen`.  The glue of a clause that has one of 3 or more is recounted (over
// all its literals) in the same pass that marks them.
void Solver::State::derive_first_uip(uint32_t confl) {
    std::vector<Lit>& L = learnt_buf;
    L.clear();
    L.push_back(0);
    uint32_t pathC = 0;
    size_t i = trail.size();
    const uint32_t cur = decision_level();
    Lit p = 0;
    CRef ci = confl;
    uint32_t from = 0;
    uint8_t* const mark = seen.data();
    const uint32_t* const lvl = level.data();
    uint64_t* const lstamp = level_stamp.data();
    for (;;) {
        if (ci == NO_REASON) throw Panic("conflict analysis reached a decision before the first UIP");
        if (is_learnt(ci)) bump_clause(ci);
        const Lit* cl = lits_of(ci);
        const uint32_t len = len_of(ci);
        const uint32_t old_glue = glue_of(ci);
        const bool recount = old_glue >= 3;
        uint32_t g = 0;
        if (recount) {
            stamp += 1;
            if (from == 1) {
                lstamp[lvl[var_of(cl[0])]] = stamp;
                g = 1;
            }
        }
        for (uint32_t k = from; k < len; ++k) {
            const Lit q = cl[k];
            const uint32_t v = var_of(q);
            const uint32_t lv = lvl[v];
            assert(lv <= cur);
            if (recount && lstamp[lv] != stamp) {
                lstamp[lv] = stamp;
                g += 1;
            }
            if (mark[v] || lv == 0) continue;
            mark[v] = 1;
            bump_var(v);
            if (lv < cur)
                L.push_back(q);
            else
                pathC += 1;
        }
        if (recount && g < old_glue) set_glue(ci, g);
        do {
            if (i == 0) throw Panic("conflict analysis ran off the trail");
            --i;
        } while (!mark[var_of(trail[i])]);
        p = trail[i];
        ci = reason[var_of(p)];
        mark[var_of(p)] = 0;
        pathC -= 1;
        from = 1;
        if (pathC == 0) break;
    }
    L[0] = neg(p);
}

// Drops the literals of the learned clause (past the first) that the others
// imply: deep minimization follows the implication graph (lit_redundant),
// basic minimization looks at each literal's reason only.
void Solver::State::minimize() {
    std::vector<Lit>& L = learnt_buf;
    const size_t before = L.size();
    size_t j = 1;
    switch (cfg.ccmin) {
    case Ccmin::Deep: {
        uint32_t abstract_levels = 0;
        for (size_t k = 1; k < L.size(); ++k) abstract_levels |= 1u << (level[var_of(L[k])] & 31);
        for (size_t k = 1; k < L.size(); ++k) {
            Lit l = L[k];
            if (reason[var_of(l)] == NO_REASON || !lit_redundant(l, abstract_levels)) L[j++] = l;
        }
        break;
    }
    case Ccmin::Basic:
        for (size_t k = 1; k < L.size(); ++k) {
            Lit l = L[k];
            if (!reason_in_clause(l)) L[j++] = l;
        }
        break;
    default:
        j = L.size();
        break;
    }
    L.resize(j);
    stats.minimized_lits += before - j;
}

// Is every other literal of l's reason in the learned clause (marked) or
// fixed at level 0?  False for a decision.
bool Solver::State::reason_in_clause(Lit l) const noexcept {
    const uint32_t r = reason[var_of(l)];
    if (r == NO_REASON) return false;
    const uint32_t len = len_of(r);
    const Lit* cl = lits_of(r);
    for (uint32_t m = 1; m < len; ++m) {
        const uint32_t v = var_of(cl[m]);
        if (!seen[v] && level[v] != 0) return false;
    }
    return true;
}

// The level to backjump to: the highest level among the literals past the
// first, whose first such literal moves to position 1 (the second watch).
uint32_t Solver::State::backjump_level() noexcept {
    std::vector<Lit>& L = learnt_buf;
    if (L.size() < 2) return 0;
    size_t max_i = 1;
    uint32_t max_lv = level[var_of(L[1])];
    for (size_t k = 2; k < L.size(); ++k) {
        uint32_t lv = level[var_of(L[k])];
        if (lv > max_lv) {
            max_lv = lv;
            max_i = k;
        }
    }
    std::swap(L[1], L[max_i]);
    return max_lv;
}

// Counts, logs, stores and asserts the learned clause (a unit is asserted at
// level 0 without being stored).
void Solver::State::learn(uint32_t glue) {
    std::vector<Lit>& L = learnt_buf;
    // Clause references are arena positions below MAX_ARENA.
    if (L.size() > 1 && !arena_fits(L.size(), true)) throw std::bad_alloc();
    stats.learned += 1;
    stats.learned_lits += L.size();
    log_add(L.data(), L.size());
    if (L.size() > 1) {
        CRef c = store_clause(L.data(), L.size(), true, glue, cla_inc);
        learnts.push_back(c);
        attach(c);
        enqueue(L[0], c);
    } else {
        enqueue(L[0], NO_REASON);
    }
}

// Variable and clause activities decay (the increments grow); the variable
// decay factor ramps up towards its maximum.
void Solver::State::decay_activities() noexcept {
    var_inc /= var_decay_now;
    cla_inc /= cfg.cla_decay;
    if (var_decay_now < cfg.var_decay_max) {
        double d = var_decay_now + 0.01;
        var_decay_now = d < cfg.var_decay_max ? d : cfg.var_decay_max;
    }
}

}  // namespace nv
