// Learned-clause database reduction.
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
    // 1. Schedule (saturating: a schedule past 2^64 conflicts never comes).
    reduce_count += 1;
    next_reduce = sat_add(cfg.first_reduce, sat_mul(sat_mul(reduce_count, reduce_count), cfg.reduce_inc));
    stats.reductions += 1;

    // 2. Candidates.
    std::vector<uint32_t>& cand = cand_buf;
    cand.clear();
    for (uint32_t ci : learnts) {
        const ClauseRec& c = clauses[ci];
        if (!c.deleted && c.glue > cfg.glue_keep && c.len >= 3 && !locked(ci)) cand.push_back(ci);
    }

    // 3. Stable ranking: higher glue first, then lower activity.  A bottom-up
    // merge sort that takes the left entry unless the right one strictly
    // ranks before it; well defined for any activity values.
    auto before = [this](uint32_t a, uint32_t b) {
        const ClauseRec& x = clauses[a];
        const ClauseRec& y = clauses[b];
        return x.glue > y.glue || (x.glue == y.glue && x.activity < y.activity);
    };
    size_t n = cand.size();
    sort_tmp.resize(n);
    std::vector<uint32_t>* src = &cand;
    std::vector<uint32_t>* dst = &sort_tmp;
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
    const std::vector<uint32_t>& ranked = *src;

    // 4. Delete the worse half, in ranking order.
    size_t del = n / 2;
    for (size_t i = 0; i < del; ++i) {
        uint32_t ci = ranked[i];
        ClauseRec& c = clauses[ci];
        log_del(arena.data() + c.start, c.len);
        detach(ci);
        c.deleted = true;
        stats.deleted += 1;
    }

    // 5.
    size_t j = 0;
    for (uint32_t ci : learnts)
        if (!clauses[ci].deleted) learnts[j++] = ci;
    learnts.resize(j);
}

}  // namespace nv
