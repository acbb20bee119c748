// Local-search phase walk over the problem clauses.
#include <algorithm>

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

}  // namespace

void Solver::State::phase_walk() {
    const size_t nlits = 2 * static_cast<size_t>(nvars);

    // Walk clauses (flat) and occurrence lists (flat, per literal).  The
    // problem list holds the live problem clauses in creation order.
    std::vector<uint32_t> wstart;
    std::vector<Lit> wlits;
    for (CRef c : problem) {
        if (is_deleted(c) || len_of(c) < 2) continue;
        wstart.push_back(static_cast<uint32_t>(wlits.size()));
        wlits.insert(wlits.end(), lits_of(c), lits_of(c) + len_of(c));
    }
    const size_t nw = wstart.size();
    wstart.push_back(static_cast<uint32_t>(wlits.size()));
    std::vector<uint32_t> occ_start(nlits + 1, 0);
    for (Lit l : wlits) occ_start[l + 1] += 1;
    for (size_t l = 0; l < nlits; ++l) occ_start[l + 1] += occ_start[l];
    std::vector<uint32_t> occ(wlits.size());
    {
        std::vector<uint32_t> fill(occ_start.begin(), occ_start.end() - 1);
        for (size_t w = 0; w < nw; ++w)
            for (uint32_t k = wstart[w]; k < wstart[w + 1]; ++k) occ[fill[wlits[k]]++] = static_cast<uint32_t>(w);
    }

    // Starting assignment, level-0 values fixed in.
    std::vector<uint8_t> assign(cfg.target_phase ? target : phase);
    for (Lit l : trail) assign[var_of(l)] = is_neg(l) ? 0 : 1;
    auto is_true = [&assign](Lit l) { return (assign[var_of(l)] != 0) != is_neg(l); };

    // Counts and the unsatisfied list.  Besides its count of true literals,
    // each clause keeps the XOR of them, which names the sole true literal
    // while the count is 1; brk[v] counts the clauses whose sole true literal
    // is v's, which is v's break value, kept up to date by the flips.
    std::vector<uint32_t> true_count(nw, 0);
    std::vector<Lit> true_xor(nw, 0);
    std::vector<uint32_t> brk(nvars, 0);
    std::vector<uint32_t> unsat;
    std::vector<uint32_t> where(nw, NOT_LISTED);
    for (size_t w = 0; w < nw; ++w) {
        uint32_t t = 0;
        Lit x = 0;
        for (uint32_t k = wstart[w]; k < wstart[w + 1]; ++k)
            if (is_true(wlits[k])) {
                t += 1;
                x ^= wlits[k];
            }
        true_count[w] = t;
        true_xor[w] = x;
        if (t == 1) brk[var_of(x)] += 1;
        if (t == 0) {
            where[w] = static_cast<uint32_t>(unsat.size());
            unsat.push_back(static_cast<uint32_t>(w));
        }
    }
    uint64_t best = unsat.size();
    std::vector<uint8_t> best_assign(assign);

    // Flips, until the budget is spent or the search is halted.
    poll_work += wlits.size() + nlits;
    std::vector<uint32_t> cand_var;
    std::vector<double> cand_weight;
    uint64_t flips = 0;
    while (!unsat.empty()) {
        if (poll_due()) break;
        uint32_t c = unsat[draw_index(unsat.size())];
        cand_var.clear();
        cand_weight.clear();
        double sum = 0.0;
        for (uint32_t k = wstart[c]; k < wstart[c + 1]; ++k) {
            uint32_t v = var_of(wlits[k]);
            uint32_t b = brk[v];
            double wgt = BREAK_WEIGHT[b < 32 ? b : 32];
            cand_var.push_back(v);
            cand_weight.push_back(wgt);
            sum += wgt;
        }
        double r = draw() * sum;
        size_t pick = cand_var.size() - 1;
        double acc = 0.0;
        for (size_t k = 0; k < cand_var.size(); ++k) {
            acc += cand_weight[k];
            if (acc >= r) {
                pick = k;
                break;
            }
        }
        flips += 1;

        uint32_t v = cand_var[pick];
        Lit t = mk_lit(v, assign[v] == 0);
        poll_work += cand_var.size() + occ_start[t + 1] - occ_start[t] + occ_start[neg(t) + 1] - occ_start[neg(t)];
        assign[v] = assign[v] != 0 ? 0 : 1;
        for (uint32_t o = occ_start[t]; o < occ_start[t + 1]; ++o) {
            uint32_t w = occ[o];
            true_count[w] -= 1;
            true_xor[w] ^= t;
            if (true_count[w] == 0) {
                brk[v] -= 1;
                where[w] = static_cast<uint32_t>(unsat.size());
                unsat.push_back(w);
            } else if (true_count[w] == 1) {
                brk[var_of(true_xor[w])] += 1;
            }
        }
        Lit nt = neg(t);
        for (uint32_t o = occ_start[nt]; o < occ_start[nt + 1]; ++o) {
            uint32_t w = occ[o];
            if (true_count[w] == 0) {
                uint32_t pos = where[w];
                uint32_t last = unsat.back();
                unsat[pos] = last;
                where[last] = pos;
                unsat.pop_back();
                where[w] = NOT_LISTED;
                brk[v] += 1;
            } else if (true_count[w] == 1) {
                brk[var_of(true_xor[w])] -= 1;
            }
            true_count[w] += 1;
            true_xor[w] ^= nt;
        }
        if (unsat.size() < best) {
            best = unsat.size();
            best_assign = assign;
            poll_work += assign.size();
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
