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
        const ClauseInfo& c = cinfo[ci];
        if (!c.deleted && c.glue > cfg.glue_keep && clauses[ci].len >= 3 && !locked(ci)) cand.push_back(ci);
    }

    // 3. Stable ranking: higher glue first, then lower activity.  A bottom-up
    // merge sort that takes the left entry unless the right one strictly
    // ranks before it; well defined for any activity values.
    auto before = [this](uint32_t a, uint32_t b) {
        const ClauseInfo& x = cinfo[a];
        const ClauseInfo& y = cinfo[b];
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
        const ClauseRef& c = clauses[ci];
        log_del(arena.data() + c.start, c.len);
        detach(ci);
        cinfo[ci].deleted = true;
        arena_waste += c.len;
        stats.deleted += 1;
    }

    // 5.
    size_t j = 0;
    for (uint32_t ci : learnts)
        if (!cinfo[ci].deleted) learnts[j++] = ci;
    learnts.resize(j);
    collect_arena();
}

// Deleted and shortened clauses leave dead slots in the arena; once they make
// up half of it, the live clauses are copied together (in index order) so
// that propagation touches less memory.  Only arena positions change.
void Solver::State::collect_arena() {
    if (reference_paths || arena_waste <= arena.size() / 2) return;
    std::vector<Lit> fresh;
    fresh.reserve(arena.size() - arena_waste);
    for (size_t ci = 0; ci < clauses.size(); ++ci) {
        ClauseRef& c = clauses[ci];
        if (cinfo[ci].deleted) {
            c = ClauseRef{0, 0};
            continue;
        }
        uint32_t start = static_cast<uint32_t>(fresh.size());
        fresh.insert(fresh.end(), arena.begin() + c.start, arena.begin() + c.start + c.len);
        c.start = start;
    }
    arena.swap(fresh);
    arena_waste = 0;
    arena_collections += 1;
}

}  // namespace nv
