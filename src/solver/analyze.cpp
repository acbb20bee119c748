// First-UIP conflict analysis, learned-clause minimization, glue and
// backjumping.
#include <new>

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
    L.clear();
    L.push_back(0);
    uint32_t pathC = 0;
    size_t i = trail.size();
    const uint32_t cur = decision_level();
    Lit p = 0;
    CRef ci = confl;
    uint32_t from = 0;

    // First-UIP derivation.  The glue of a clause that has one of 3 or more
    // is recounted (over all its literals) in the same pass that marks them.
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

    // Every literal of the clause is to be unmarked at the end.
    toclear.assign(L.begin(), L.end());

    // Minimization.
    size_t before = L.size();
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
    case Ccmin::Basic: {
        for (size_t k = 1; k < L.size(); ++k) {
            Lit l = L[k];
            uint32_t r = reason[var_of(l)];
            bool keep;
            if (r == NO_REASON) {
                keep = true;
            } else {
                keep = false;
                uint32_t len = len_of(r);
                const Lit* cl = lits_of(r);
                {
                    for (uint32_t m = 1; m < len; ++m) {
                        uint32_t v = var_of(cl[m]);
                        if (!seen[v] && level[v] != 0) {
                            keep = true;
                            break;
                        }
                    }
                }
            }
            if (keep) L[j++] = l;
        }
        break;
    }
    default:
        j = L.size();
        break;
    }
    L.resize(j);
    stats.minimized_lits += before - j;

    // Backjump level; the first literal of the highest level goes to position 1.
    uint32_t bt = 0;
    if (L.size() > 1) {
        size_t max_i = 1;
        uint32_t max_lv = level[var_of(L[1])];
        for (size_t k = 2; k < L.size(); ++k) {
            uint32_t lv = level[var_of(L[k])];
            if (lv > max_lv) {
                max_lv = lv;
                max_i = k;
            }
        }
        Lit t = L[1];
        L[1] = L[max_i];
        L[max_i] = t;
        bt = max_lv;
    }

    // Glue.
    uint32_t glue = count_glue(L.data(), L.size());

    // Marks off.
    for (Lit l : toclear) seen[var_of(l)] = 0;
    toclear.clear();

    // Averages, then restart blocking.
    ema_fast.update(static_cast<double>(glue));
    ema_slow.update(static_cast<double>(glue));
    ema_trail.update(static_cast<double>(trail.size()));
    if (cfg.block_restart && stats.conflicts >= 10000 &&
        ema_trail.value * 1.4 < static_cast<double>(trail.size())) {
        stats.blocked_restarts += 1;
        last_restart = stats.conflicts;
    }

    // Backjump.
    cancel_until(bt);

    // Clause references are arena positions below MAX_ARENA.
    if (L.size() > 1 && !arena_fits(L.size(), true)) throw std::bad_alloc();

    // Count and log the learned clause.
    stats.learned += 1;
    stats.learned_lits += L.size();
    log_add(L.data(), L.size());

    // Store and assert.
    if (L.size() > 1) {
        CRef c = store_clause(L.data(), L.size(), true, glue, cla_inc);
        learnts.push_back(c);
        attach(c);
        enqueue(L[0], c);
    } else {
        enqueue(L[0], NO_REASON);
    }

    // Decay and the decay ramp, then the reduction schedule.
    var_inc /= var_decay_now;
    cla_inc /= cfg.cla_decay;
    if (var_decay_now < cfg.var_decay_max) {
        double d = var_decay_now + 0.01;
        var_decay_now = d < cfg.var_decay_max ? d : cfg.var_decay_max;
    }
    if (stats.conflicts >= next_reduce) reduce_db();
}

}  // namespace nv
