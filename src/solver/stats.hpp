// The solver's counters, written once as a table.
//
// NV_SOLVER_COUNTERS lists the eleven counters in their documented order
// (the order of the Stats fields).  Generated from it: the Stats struct
// below, the portfolio's total over its workers (src/portfolio), the
// Solver's read-only properties and the engine's exported counter names
// (src/lib/solver_py.cpp); tools/gen_stub.py reads this file to write the
// properties into the type stub.  The second column says how a total over
// several solvers combines the counter: Sum adds, Max keeps the largest.
//
// Row format (one line per counter, tools/gen_stub.py parses it):
//   X(name, Sum or Max)
#pragma once

#include <cstdint>

namespace nv {

#define NV_SOLVER_COUNTERS(X) \
    X(decisions, Sum)         \
    X(propagations, Sum)      \
    X(conflicts, Sum)         \
    X(learned, Sum)           \
    X(learned_lits, Sum)      \
    X(minimized_lits, Sum)    \
    X(restarts, Sum)          \
    X(blocked_restarts, Sum)  \
    X(reductions, Sum)        \
    X(deleted, Sum)           \
    X(max_trail, Max)

// Cumulative over a solver's life.
struct Stats {
#define NV_STATS_FIELD(name, combine) uint64_t name = 0;
    NV_SOLVER_COUNTERS(NV_STATS_FIELD)
#undef NV_STATS_FIELD
};

// `total` combined with `s`, counter by counter.
inline void add_up(Stats& total, const Stats& s) noexcept {
    auto Sum = [](uint64_t& t, uint64_t v) { t += v; };
    auto Max = [](uint64_t& t, uint64_t v) {
        if (v > t) t = v;
    };
#define NV_ADD_UP(name, combine) combine(total.name, s.name);
    NV_SOLVER_COUNTERS(NV_ADD_UP)
#undef NV_ADD_UP
}

}  // namespace nv
