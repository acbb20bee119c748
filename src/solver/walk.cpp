// Local-search phase walk over the problem clauses.
//
// At some restarts (search.cpp decides when) the search hands its phases to
// a stochastic local search: starting from the target (or saved) phases with
// the level-0 values fixed in, it repeatedly picks an unsatisfied clause at
// random and flips one of its variables, chosen with a probability that
// falls steeply with the variable's break value (how many clauses the flip
// would leave unsatisfied).  The best assignment met becomes both the saved
// and the target phases.  The walk works on its own flat copy of the live
// problem clauses with per-literal occurrence lists, so it changes nothing
// in the clause store or the watches; it draws from the solver's random
// generator and counts its work towards the solver's polling (state.hpp),
// stopping early when the search is halted.
#include <algorithm>
#include <utility>

#include "state.hpp"

namespace nv {

namespace {

// (0.9 + b)^-2.06 for b = 0 .. 32.
constexpr double BREAK_WEIGHT[33] = {
    1.2423971044693904,    0.2665431844564756,    0.11154757268716438,   0.06059083109242785,
    0.0378613482436238,    0.02582526912626813,   0.018705566831429692,  0.0141542933420601,
    0.011072777835612904,  0.00889183712824521,   0.007292919406638117,  0.006086578947728128,
    0.005154484010820045,  0.004419666621745944,  0.003830330838618274,  0.0033505949060830035,
    0.0029549721254695433, 0.0026249604007938013, 0.00234686810854462,   0.0021103897194995175,
    0.001907649796755619,  0.001732547393265342,  0.001580297694020363,  0.0014471059328459816,
    0.0013299317216792165, 0.0012263162579798836, 0.0011342539574143936, 0.0010520959317115543,
    0.000978476599632614,  0.0009122573099164859, 0.0008524826176723598, 0.0007983460721352612,
    0.0007491632244617672,
};

constexpr uint32_t NOT_LISTED = 0xFFFFFFFFu;

// The walk's copy of the clauses: clause w holds lits[start[w] ..
// start[w + 1]), and literal l occurs in the clauses occ[occ_start[l] ..
// occ_start[l + 1]).
struct WalkClauses {
    std::vector<uint32_t> start;
    std::vector<Lit> lits;
    std::vector<uint32_t> occ_start;
    std::vector<uint32_t> occ;

    size_t size() const noexcept { return start.size() - 1; }
    size_t occurrences(Lit l) const noexcept { return occ_start[l + 1] - occ_start[l]; }
};

// The live problem clauses of two or more literals, in creation order.
WalkClauses copy_clauses(const Solver::State& s) {
    const size_t nlits = 2 * static_cast<size_t>(s.nvars);
    WalkClauses f;
    for (CRef c : s.problem) {
        if (s.is_deleted(c) || s.len_of(c) < 2) continue;
        f.start.push_back(static_cast<uint32_t>(f.lits.size()));
        f.lits.insert(f.lits.end(), s.lits_of(c), s.lits_of(c) + s.len_of(c));
    }
    const size_t nw = f.start.size();
    f.start.push_back(static_cast<uint32_t>(f.lits.size()));
    f.occ_start.assign(nlits + 1, 0);
    for (Lit l : f.lits) f.occ_start[l + 1] += 1;
    for (size_t l = 0; l < nlits; ++l) f.occ_start[l + 1] += f.occ_start[l];
    f.occ.resize(f.lits.size());
    std::vector<uint32_t> fill(f.occ_start.begin(), f.occ_start.end() - 1);
    for (size_t w = 0; w < nw; ++w)
        for (uint32_t k = f.start[w]; k < f.start[w + 1]; ++k) f.occ[fill[f.lits[k]]++] = static_cast<uint32_t>(w);
    return f;
}

// An assignment and what the flips keep up to date about it.  Besides its
// count of true literals, each clause keeps the XOR of them, which names the
// sole true literal while the count is 1; brk[v] counts the clauses whose
// sole true literal is v's, which is v's break value.  The unsatisfied
// clauses are listed, each knowing its place in the list (`where`).
struct WalkCounts {
    const WalkClauses& f;
    std::vector<uint8_t> assign;
    std::vector<uint32_t> true_count;
    std::vector<Lit> true_xor;
    std::vector<uint32_t> brk;
    std::vector<uint32_t> unsat;
    std::vector<uint32_t> where;

    WalkCounts(const WalkClauses& clauses, std::vector<uint8_t> start, uint32_t nvars)
        : f(clauses), assign(std::move(start)), true_count(f.size(), 0), true_xor(f.size(), 0), brk(nvars, 0),
          where(f.size(), NOT_LISTED) {
        for (size_t w = 0; w < f.size(); ++w) {
            uint32_t t = 0;
            Lit x = 0;
            for (uint32_t k = f.start[w]; k < f.start[w + 1]; ++k)
                if (is_true(f.lits[k])) {
                    t += 1;
                    x ^= f.lits[k];
                }
            true_count[w] = t;
            true_xor[w] = x;
            if (t == 1) brk[var_of(x)] += 1;
            if (t == 0) list_unsat(static_cast<uint32_t>(w));
        }
    }

    bool is_true(Lit l) const noexcept { return (assign[var_of(l)] != 0) != is_neg(l); }

    void list_unsat(uint32_t w) {
        where[w] = static_cast<uint32_t>(unsat.size());
        unsat.push_back(w);
    }

    void unlist(uint32_t w) noexcept {
        const uint32_t pos = where[w];
        const uint32_t last = unsat.back();
        unsat[pos] = last;
        where[last] = pos;
        unsat.pop_back();
        where[w] = NOT_LISTED;
    }

    // Flips v: its true literal t becomes false, the complement true.
    void flip(uint32_t v) {
        const Lit t = mk_lit(v, assign[v] == 0);
        assign[v] = assign[v] != 0 ? 0 : 1;
        for (uint32_t o = f.occ_start[t]; o < f.occ_start[t + 1]; ++o) {
            const uint32_t w = f.occ[o];
            true_count[w] -= 1;
            true_xor[w] ^= t;
            if (true_count[w] == 0) {
                brk[v] -= 1;
                list_unsat(w);
            } else if (true_count[w] == 1) {
                brk[var_of(true_xor[w])] += 1;
            }
        }
        const Lit nt = neg(t);
        for (uint32_t o = f.occ_start[nt]; o < f.occ_start[nt + 1]; ++o) {
            const uint32_t w = f.occ[o];
            if (true_count[w] == 0) {
                unlist(w);
                brk[v] += 1;
            } else if (true_count[w] == 1) {
                brk[var_of(true_xor[w])] -= 1;
            }
            true_count[w] += 1;
            true_xor[w] ^= nt;
        }
    }
};

// The variable to flip in unsatisfied clause c: drawn with weights that
// fall with the break value.  The candidates and their weights are left in
// the two buffers.
uint32_t pick_flip(Solver::State& s, const WalkClauses& f, uint32_t c, const std::vector<uint32_t>& brk,
                   std::vector<uint32_t>& cand_var, std::vector<double>& cand_weight) {
    cand_var.clear();
    cand_weight.clear();
    double sum = 0.0;
    for (uint32_t k = f.start[c]; k < f.start[c + 1]; ++k) {
        const uint32_t v = var_of(f.lits[k]);
        const uint32_t b = brk[v];
        const double wgt = BREAK_WEIGHT[b < 32 ? b : 32];
        cand_var.push_back(v);
        cand_weight.push_back(wgt);
        sum += wgt;
    }
    const double r = s.draw() * sum;
    size_t pick = cand_var.size() - 1;
    double acc = 0.0;
    for (size_t k = 0; k < cand_var.size(); ++k) {
        acc += cand_weight[k];
        if (acc >= r) {
            pick = k;
            break;
        }
    }
    return cand_var[pick];
}

}  // namespace

void Solver::State::phase_walk() {
    const WalkClauses f = copy_clauses(*this);

    // The starting assignment: the phases, with the level-0 values fixed in.
    std::vector<uint8_t> start(cfg.target_phase ? target : phase);
    for (Lit l : trail) start[var_of(l)] = is_neg(l) ? 0 : 1;
    WalkCounts a(f, std::move(start), nvars);
    uint64_t best = a.unsat.size();
    std::vector<uint8_t> best_assign(a.assign);

    // Flips, until the budget is spent or the search is halted.
    poll_work += f.lits.size() + 2 * static_cast<size_t>(nvars);
    std::vector<uint32_t> cand_var;
    std::vector<double> cand_weight;
    uint64_t flips = 0;
    while (!a.unsat.empty()) {
        if (poll_due()) break;
        const uint32_t v = pick_flip(*this, f, a.unsat[draw_index(a.unsat.size())], a.brk, cand_var, cand_weight);
        flips += 1;
        const Lit t = mk_lit(v, a.assign[v] == 0);
        poll_work += cand_var.size() + f.occurrences(t) + f.occurrences(neg(t));
        a.flip(v);
        if (a.unsat.size() < best) {
            best = a.unsat.size();
            best_assign = a.assign;
            poll_work += a.assign.size();
        }
        if (flips == cfg.walk_flips) break;
    }

    // Did the walk beat the best count so far?
    if (best < walk_best) {
        walk_best = best;
        walk_fails = 0;
    } else {
        walk_fails += 1;
    }
    // The best assignment becomes the phases; the trail is to be beaten anew.
    std::copy(best_assign.begin(), best_assign.end(), target.begin());
    std::copy(best_assign.begin(), best_assign.end(), phase.begin());
    best_trail = 0;
    target_synced = 0;
}

}  // namespace nv
