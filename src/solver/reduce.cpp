// Learned-clause database reduction and arena collection.
//
// On a schedule that grows quadratically in the number of reductions, the
// learned clauses of three or more literals that are not reasons and whose
// glue is above glue_keep are ranked, higher glue first, then lower
// activity, and the first half goes; their watches are dropped in one sweep
// over the lists they were in.  When
// deleted and shortened clauses make up half of the arena, the live clauses
// are moved together in creation order and every reference is rewritten.
// analyze.cpp calls reduce_db after a conflict; simplify.cpp uses the same
// sweep and collection.
#include "state.hpp"

namespace nv {

namespace {

uint64_t sat_add(uint64_t a, uint64_t b) noexcept { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t sat_mul(uint64_t a, uint64_t b) noexcept {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

}  // namespace

void Solver::State::reduce_db() {
    // Schedule (saturating: a schedule past 2^64 conflicts never comes).
    reduce_count += 1;
    next_reduce = sat_add(cfg.first_reduce, sat_mul(sat_mul(reduce_count, reduce_count), cfg.reduce_inc));
    stats.reductions += 1;

    // Candidates.
    std::vector<CRef>& cand = cand_buf;
    cand.clear();
    for (CRef c : learnts)
        if (!is_deleted(c) && glue_of(c) > cfg.glue_keep && len_of(c) >= 3 && !locked(c)) cand.push_back(c);

    // Stable ranking: higher glue first, then lower activity.  A bottom-up
    // merge sort that takes the left entry unless the right one strictly
    // ranks before it; well defined for any activity values.
    auto before = [this](CRef a, CRef b) {
        uint32_t ga = glue_of(a), gb = glue_of(b);
        return ga > gb || (ga == gb && activity_of(a) < activity_of(b));
    };
    size_t n = cand.size();
    sort_tmp.resize(n);
    std::vector<CRef>* src = &cand;
    std::vector<CRef>* dst = &sort_tmp;
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n;
            size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t a = lo, b = mid, k = lo;
            while (a < mid && b < hi) {
                if (before((*src)[b], (*src)[a]))
                    (*dst)[k++] = (*src)[b++];
                else
                    (*dst)[k++] = (*src)[a++];
            }
            while (a < mid) (*dst)[k++] = (*src)[a++];
            while (b < hi) (*dst)[k++] = (*src)[b++];
        }
        std::swap(src, dst);
    }
    std::vector<CRef>& ranked = *src;

    // Delete the worse half, in ranking order.
    size_t del = n / 2;
    for (size_t i = 0; i < del; ++i) {
        CRef c = ranked[i];
        log_del(lits_of(c), len_of(c));
        mark_deleted(c);
        stats.deleted += 1;
    }
    ranked.resize(del);
    detach_deleted(ranked);

    size_t j = 0;
    for (CRef c : learnts)
        if (!is_deleted(c)) learnts[j++] = c;
    learnts.resize(j);
    collect_arena();
}

// Removing one watch at a time costs a scan of its list per clause; this
// drops the watches of all clauses in `gone` (already marked deleted) with one
// pass over each list they were in.  The other watches keep their order, so
// the lists end as a detach of each clause would leave them.
void Solver::State::detach_deleted(const std::vector<CRef>& gone) {
    list_mark.resize(watches.size(), 0);
    list_buf.clear();
    for (CRef c : gone) {
        const Lit* l = lits_of(c);
        for (int k = 0; k < 2; ++k) {
            Lit w = neg(l[k]);
            if (!list_mark[w]) {
                list_mark[w] = 1;
                list_buf.push_back(w);
            }
        }
    }
    for (Lit w : list_buf) {
        list_mark[w] = 0;
        std::vector<Watch>& ws = watches[w];
        poll_work += ws.size();
        size_t k = 0;
        for (const Watch& x : ws)
            if (!is_deleted(x.cref())) ws[k++] = x;
        ws.resize(k);
    }
}

// Deleted and shortened clauses leave dead words in the arena; once they make
// up half of it, the live clauses are copied together.  The lists hold every
// live clause, each in creation order, so merging them visits the clauses in
// arena order, which the copy keeps.  Every reference (watches, reasons,
// lists) is then rewritten; only arena positions change.
void Solver::State::collect_arena() {
    if (arena_waste <= arena.size() / 2) return;
    std::vector<uint32_t> fresh;
    fresh.reserve(arena.size() - arena_waste);
    // The old header's flag word is overwritten with the new reference.
    auto move = [&](CRef c) {
        bool learnt = is_learnt(c);
        size_t from = c - (learnt ? ACTIVITY_WORDS : 0);
        size_t to = c + HEADER + len_of(c);
        fresh.insert(fresh.end(), arena.begin() + static_cast<ptrdiff_t>(from), arena.begin() + static_cast<ptrdiff_t>(to));
        arena[c + 1] = static_cast<uint32_t>(fresh.size() - (to - c));
    };
    size_t a = 0, b = 0;
    while (a < problem.size() || b < learnts.size()) {
        if (b == learnts.size() || (a < problem.size() && problem[a] < learnts[b]))
            move(problem[a++]);
        else
            move(learnts[b++]);
    }
    auto moved = [this](CRef c) { return static_cast<CRef>(arena[c + 1]); };
    for (std::vector<Watch>& ws : watches)
        for (Watch& w : ws) w.ref = moved(w.cref()) | (w.ref & Watch::BINARY);
    for (Lit l : trail) {
        uint32_t& r = reason[var_of(l)];
        if (r != NO_REASON) r = moved(r);
    }
    for (CRef& c : problem) c = moved(c);
    for (CRef& c : learnts) c = moved(c);
    arena.swap(fresh);
    arena_waste = 0;
}

}  // namespace nv
