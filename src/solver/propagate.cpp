// Watches, unit propagation, backtracking and problem-clause input.
//
// Propagation uses two watched literals per clause with a blocking literal
// in each watch; a two-literal clause is answered from its watch alone.
// Visits reorder the clause so that the watched literals stay in front,
// and move watches between lists as new ones are found.  Backtracking saves
// phases and puts variables back into the decision heap.  add_clause takes
// a problem clause as given: it first makes room for everything the clause
// can need (variables, arena, watch lists), so a refusal changes nothing,
// then drops duplicates, false literals at level 0 and satisfied or
// tautological clauses.  Bulk loading (bulk.cpp) calls it clause by clause;
// conflicts found by propagate() go to analyze.cpp.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

#include "../core/tautology.hpp"
#include "state.hpp"

namespace nv {

namespace {

// Grows a vector's capacity (geometrically) so that `extra` more entries fit
// without a reallocation.
template <class V>
void make_room(V& v, size_t extra) {
    size_t need = v.size() + extra;
    if (need <= v.capacity()) return;
    size_t cap = v.capacity() * 2;
    if (cap < need) cap = need;
    v.reserve(cap);
}

}  // namespace

CRef Solver::State::store_clause(const Lit* lits, size_t n, bool learnt, uint32_t glue, double activity) {
    size_t words = clause_words(n, learnt);
    make_room(arena, words);
    if (learnt) arena.insert(arena.end(), ACTIVITY_WORDS, 0u);
    CRef c = static_cast<CRef>(arena.size());
    // Glue never exceeds the number of decision levels; it saturates where
    // the flag word runs out of bits.
    uint32_t g = glue < (1u << 30) ? glue : (1u << 30) - 1;
    arena.push_back(static_cast<uint32_t>(n));
    arena.push_back((g << 2) | (learnt ? 1u : 0u));
    arena.insert(arena.end(), lits, lits + n);
    if (learnt) set_activity(c, activity);
    return c;
}

void Solver::State::attach(CRef c) {
    const Lit* l = lits_of(c);
    watches[neg(l[0])].push_back(watch_of(c, l[1]));
    watches[neg(l[1])].push_back(watch_of(c, l[0]));
}

void Solver::State::detach(CRef c) noexcept {
    const Lit* l = lits_of(c);
    for (int k = 0; k < 2; ++k) {
        std::vector<Watch>& ws = watches[neg(l[k])];
        poll_work += ws.size();
        for (size_t i = 0; i < ws.size(); ++i) {
            if (ws[i].cref() == c) {
                ws.erase(ws.begin() + static_cast<ptrdiff_t>(i));
                break;
            }
        }
    }
}

// Two watched literals with blockers.  Everything the loop touches is held in
// locals (the compiler cannot tell the vectors apart from the literals it
// writes), and the trail, which never grows past one entry per variable, is
// written through a pointer.

constexpr ptrdiff_t PREFETCH_AHEAD = 8;

uint32_t Solver::State::propagate() {
    CRef confl = NO_CLAUSE;
    uint8_t* const val = vals.data();
    uint32_t* const mem = arena.data();
    uint32_t* const lvl = level.data();
    uint32_t* const rsn = reason.data();
    std::vector<Watch>* const wl = watches.data();
    Lit* const tr = trail.data();
    size_t head = qhead;
    size_t tail = trail.size();
    const uint32_t dl = decision_level();
    const size_t start = head;
    uint64_t work = poll_work;  // counted here in a local, see poll_due()
    while (head < tail) {
        if (work >= POLL_EVERY) {
            // Between two literals every watch list is whole.
            poll_work = work;
            if (poll_now()) break;
            work = poll_work;
        }
        Lit p = tr[head++];
        Lit f = neg(p);
        // New watches always go to other lists (a clause never holds p and
        // its complement), so p's list can be compacted in place.
        std::vector<Watch>& ws = wl[p];
        Watch* i = ws.data();
        Watch* j = i;
        Watch* const end = i + ws.size();
        work += ws.size() + 1;
        while (i != end) {
            // The clause of a watch a few places on is asked for early, so
            // that its cache line is on the way when that watch is reached.
            // (Near the end of the list the current watch's clause is asked
            // for instead, so no branch is needed.)
            const Watch* ahead = end - i > PREFETCH_AHEAD ? i + PREFETCH_AHEAD : i;
            __builtin_prefetch(mem + ahead->cref());
            // The watch is moved as one 64-bit word.
            uint64_t raw;
            std::memcpy(&raw, i++, sizeof raw);
            const Watch w{static_cast<uint32_t>(raw), static_cast<Lit>(raw >> 32)};
            const uint8_t bv = val[w.blocker];
            if (bv == 1) {
                std::memcpy(j++, &raw, sizeof raw);
                continue;
            }
            if (w.binary()) {
                // The other literal is the blocker.  The clause is put in the
                // order a visit leaves it in, (blocker, f), without reading it.
                Lit* c = mem + w.cref() + HEADER;
                assert(in_arena(w.cref()) && mem[w.cref()] == 2);
                assert((c[0] == f && c[1] == w.blocker) || (c[1] == f && c[0] == w.blocker));
                c[0] = w.blocker;
                c[1] = f;
                *j++ = w;
                if (bv == 2) {
                    confl = w.cref();
                    while (i != end) *j++ = *i++;
                    break;
                }
                val[w.blocker] = 1;
                val[neg(w.blocker)] = 2;
                lvl[var_of(w.blocker)] = dl;
                rsn[var_of(w.blocker)] = w.cref();
                tr[tail++] = w.blocker;
                continue;
            }
            CRef cr = w.ref;
            Lit* c = mem + cr + HEADER;
            assert(in_arena(cr) && mem[cr] >= 2 && (c[0] == f || c[1] == f));
            // One of the first two literals is f; it goes to position 1 (a
            // swap exactly when it was at position 0, written without a branch).
            Lit first = c[0] ^ c[1] ^ f;
            c[0] = first;
            c[1] = f;
            // (When first is the blocker it is not true: that was tested.)
            if (val[first] == 1) {
                *j++ = Watch{cr, first};
                continue;
            }
            uint32_t len = mem[cr];
            Lit* k = c + 2;
            Lit* const cend = c + len;
            for (; k != cend; ++k) {
                if (val[*k] != 2) break;
            }
            if (k != cend) {
                Lit nk = *k;
                c[1] = nk;
                *k = f;
                wl[neg(nk)].push_back(Watch{cr, first});
                continue;
            }
            *j++ = Watch{cr, first};
            if (val[first] == 2) {
                confl = cr;
                while (i != end) *j++ = *i++;
                break;
            }
            val[first] = 1;
            val[neg(first)] = 2;
            lvl[var_of(first)] = dl;
            rsn[var_of(first)] = cr;
            tr[tail++] = first;
        }
        ws.resize(static_cast<size_t>(j - ws.data()));
        if (confl != NO_CLAUSE) break;
    }
    if (!halted) poll_work = work;
    stats.propagations += head - start;
    trail.set_size(tail);
    qhead = static_cast<uint32_t>(confl != NO_CLAUSE ? tail : head);
    if (tail > stats.max_trail) stats.max_trail = tail;
    return confl;
}

void Solver::State::cancel_until(uint32_t lvl) {
    if (lvl >= decision_level()) return;
    uint32_t lim = trail_lim[lvl];
    for (size_t i = trail.size(); i-- > lim;) {
        Lit l = trail[i];
        uint32_t v = var_of(l);
        assert(vals[l] == 1 && level[v] > lvl);
        vals[l] = 0;
        vals[neg(l)] = 0;
        reason[v] = NO_REASON;
        if (cfg.phase_saving) phase[v] = is_neg(l) ? 0 : 1;
        heap.insert(v);
    }
    trail.resize(lim);
    trail_lim.resize(lvl);
    qhead = lim;
    if (target_synced > lim) target_synced = lim;
}

// The number of variables the solver will have once add_clause has walked
// `lits`: the walk creates variables as it meets literals and stops early at
// a tautology or at a literal already true at level 0.
uint64_t Solver::State::vars_needed(const Lit* lits, size_t n) {
    uint32_t maxv = 0;
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = var_of(lits[i]);
        if (!any || v > maxv) maxv = v;
        any = true;
    }
    if (!any || maxv < nvars) return nvars;

    // Where does the walk stop?  At the first literal true at level 0, or at
    // the first literal whose complement occurred earlier (src/core/tautology.hpp).
    size_t stop = n;
    for (size_t i = 0; i < n; ++i) {
        Lit l = lits[i];
        if (var_of(l) < nvars && vals[l] == 1 && level[var_of(l)] == 0) {
            stop = i;
            break;
        }
    }
    stop = std::min(stop, tautology_position(lits, n, sort_buf));
    size_t end = stop < n ? stop + 1 : n;
    uint64_t need = nvars;
    for (size_t i = 0; i < end; ++i) {
        uint64_t want = uint64_t{var_of(lits[i])} + 1;
        if (want > need) need = want;
    }
    return need;
}

bool Solver::State::add_clause(const Lit* lits, size_t n) {
    if (!ok) {
        clause_added = true;
        return false;
    }
    if (n > (size_t{1} << 32)) throw std::bad_alloc();  // more literals than exist
    // Everything that may fail to allocate happens before the first change.
    uint64_t need = vars_needed(lits, n);
    reserve_vars(need);
    add_buf.clear();
    met_buf.clear();
    add_buf.reserve(n);
    met_buf.reserve(n);
    make_room(problem, 1);
    if (n >= 2) {
        if (!arena_fits(n, false)) throw std::bad_alloc();
        make_room(arena, clause_words(n, false));
    }

    clause_added = true;
    cancel_until(0);

    bool dropped = false;
    for (size_t i = 0; i < n; ++i) {
        Lit l = lits[i];
        uint32_t v = var_of(l);
        while (nvars <= v) push_var();
        uint8_t bit = is_neg(l) ? 2 : 1;
        uint8_t other = is_neg(l) ? 1 : 2;
        uint8_t m = seen[v];
        if (m & bit) continue;
        if (m & other) {
            dropped = true;
            break;
        }
        if (m == 0) met_buf.push_back(v);
        seen[v] = static_cast<uint8_t>(m | bit);
        if (vals[l] == 1) {
            dropped = true;
            break;
        }
        if (vals[l] == 2) continue;
        add_buf.push_back(l);
    }
    for (uint32_t v : met_buf) seen[v] = 0;
    if (dropped) return true;

    if (add_buf.empty()) {
        log_empty();
        ok = false;
        return false;
    }
    if (add_buf.size() == 1) {
        enqueue(add_buf[0], NO_REASON);
        if (propagate() != NO_CLAUSE) {
            log_empty();
            ok = false;
            return false;
        }
        return true;
    }
    Lit c0 = add_buf[0], c1 = add_buf[1];
    make_room(watches[neg(c0)], 1);
    make_room(watches[neg(c1)], 1);
    CRef c = store_clause(add_buf.data(), add_buf.size(), false, 0, 0.0);
    problem.push_back(c);
    attach(c);
    return true;
}

}  // namespace nv
