// Bounded variable elimination by clause distribution.
#include <algorithm>

#include "preprocessor.hpp"

namespace nv {

// Candidates go by the product of their occurrence counts at the start of the
// pass, fewest first.  A variable is replaced by its non-tautological
// resolvents when none is longer than max_resolvent_len and there are no more
// of them than the clauses they replace.
bool Preprocessor::eliminate_pass() {
    std::vector<Var> cands;
    for (Var v = 0; v < nvars_; ++v)
        if (assign_[v] == 0 && !frozen_[v]) cands.push_back(v);
    keys_.resize(nvars_);
    for (Var v : cands)
        keys_[v] = uint64_t{occs_[2 * size_t{v}].size()} * occs_[2 * size_t{v} + 1].size();
    std::stable_sort(cands.begin(), cands.end(),
                     [this](Var a, Var b) { return keys_[a] < keys_[b]; });

    std::vector<uint32_t>& pos_ids = ids_a_;
    std::vector<uint32_t>& neg_ids = ids_b_;
    Cnf res;  // kept resolvents of the current candidate
    for (Var x : cands) {
        if (assign_[x] != 0) continue;
        const Lit px = mk_lit(x, false), nx = mk_lit(x, true);
        pos_ids = occs_[px];
        neg_ids = occs_[nx];
        const uint64_t np = pos_ids.size(), nn = neg_ids.size();
        if (np == 0 && nn == 0) continue;
        if (np * nn > kMaxPairs) continue;

        // Only a unit on each side can give the empty resolvent; without
        // such a pair, resolving can stop as soon as too many are kept.
        bool pos_unit = false, neg_unit = false;
        for (uint32_t id : pos_ids) pos_unit |= len_[id] == 1;
        for (uint32_t id : neg_ids) neg_unit |= len_[id] == 1;
        const bool may_refute = pos_unit && neg_unit;
        const uint64_t limit = np + nn + kBveGrowth;

        res.lits.clear();
        res.ends.clear();
        uint64_t kept = 0;
        bool give_up = false;
        for (uint32_t pid : pos_ids) {
            for (uint32_t nid : neg_ids) {
                const uint32_t s = next_stamp();
                const size_t base = res.lits.size();
                for (Lit l : clause(pid)) {
                    if (l == px) continue;
                    mark_[l] = s;
                    res.lits.push_back(l);
                }
                bool taut = false;
                for (Lit l : clause(nid)) {
                    if (l == nx) continue;
                    if (mark_[neg(l)] == s) {
                        taut = true;
                        break;
                    }
                    if (mark_[l] == s) continue;
                    mark_[l] = s;
                    res.lits.push_back(l);
                }
                const size_t rlen = res.lits.size() - base;
                if (taut) {
                    res.lits.resize(base);
                    continue;
                }
                if (rlen == 0) return set_unsat();
                if (rlen > max_resolvent_len_) {
                    give_up = true;
                    break;
                }
                if (kept > limit) {
                    // Already too many; only a later refutation or give-up
                    // can still change the outcome.
                    res.lits.resize(base);
                    continue;
                }
                res.close();
                ++kept;
                if (kept > limit && !may_refute) {
                    give_up = true;
                    break;
                }
            }
            if (give_up) break;
        }
        if (give_up || kept > limit) continue;

        for (size_t i = 0; i < res.size(); ++i) {
            insert(res[i], true);
            ++resolvents_;
        }
        stack_var_.push_back(x);
        stack_first_.push_back(stack_cls_.size());
        for (uint32_t id : pos_ids) stack_cls_.push(clause(id));
        for (uint32_t id : neg_ids) stack_cls_.push(clause(id));
        for (uint32_t id : pos_ids) remove(id);
        for (uint32_t id : neg_ids) remove(id);
        ++eliminated_vars_;
    }
    return true;
}

}  // namespace nv
