// Bounded variable elimination by clause distribution.
//
// A variable is replaced by the non-tautological resolvents of its positive
// and negative clauses when none is longer than max_resolvent_len and there
// are no more of them than the clauses they replace.  Candidates go by the
// product of their occurrence counts at the start of the pass, fewest first.
// Resolvents are added before their parents are removed, so the proof log
// stays a clausal proof; the parents go onto the reconstruction stack
// (reactivate.cpp keeps it, reconstruct.cpp reads it).  The store operations
// are those of store.cpp; run() in rounds.cpp calls the pass once a round.
#include <algorithm>

#include "order.hpp"
#include "preprocessor.hpp"

namespace nv {

bool Preprocessor::eliminate_pass() {
    std::vector<Var> cands;
    if (!elimination_order(cands)) return true;
    Cnf res;  // kept resolvents of the current candidate
    for (Var x : cands) {
        if (poll(1)) return true;
        if (assign_[x] != 0) continue;
        switch (resolve_all(x, res)) {
            case Resolved::Refuted:
                return set_unsat();
            case Resolved::GiveUp:
                continue;
            case Resolved::Eliminate:
                eliminate(x, res);
        }
    }
    return true;
}

// The unassigned, unfrozen variables, stably sorted by the product of their
// occurrence counts now; false when interrupted.
bool Preprocessor::elimination_order(std::vector<Var>& cands) {
    for (Var v = 0; v < nvars_; ++v) {
        if (assign_[v] == 0 && !frozen_[v]) cands.push_back(v);
        if ((v & 1023) == 0 && poll(1024)) return false;
    }
    keys_.resize(nvars_);
    for (Var v : cands)
        keys_[v] = uint64_t{occs_[2 * size_t{v}].size()} * occs_[2 * size_t{v} + 1].size();
    return stable_order(cands, order_tmp_, [this](Var v) { return keys_[v]; },
                        [this](uint64_t units) { return poll(units); });
}

// Resolves every positive clause of x (outer) with every negative one
// (inner) into `res`, and decides: eliminate x, give it up (no clauses, too
// many pairs, a resolvent too long, too many resolvents, or an
// interruption), or the formula is refuted (an empty resolvent).  Leaves the
// id lists of x in ids_a_ (positive) and ids_b_ (negative).
Preprocessor::Resolved Preprocessor::resolve_all(Var x, Cnf& res) {
    const Lit px = mk_lit(x, false), nx = mk_lit(x, true);
    std::vector<uint32_t>& pos_ids = ids_a_;
    std::vector<uint32_t>& neg_ids = ids_b_;
    pos_ids = occs_[px];
    neg_ids = occs_[nx];
    const uint64_t np = pos_ids.size(), nn = neg_ids.size();
    if (np == 0 && nn == 0) return Resolved::GiveUp;
    if (np * nn > kMaxPairs) return Resolved::GiveUp;

    // Only a unit on each side can give the empty resolvent; without such a
    // pair, resolving can stop as soon as too many are kept.
    bool pos_unit = false, neg_unit = false;
    for (uint32_t id : pos_ids) pos_unit |= len_[id] == 1;
    for (uint32_t id : neg_ids) neg_unit |= len_[id] == 1;
    const bool may_refute = pos_unit && neg_unit;
    const uint64_t limit = np + nn + kBveGrowth;

    res.lits.clear();
    res.ends.clear();
    uint64_t kept = 0, work = 0;
    for (uint32_t pid : pos_ids) {
        for (uint32_t nid : neg_ids) {
            if ((work += uint64_t{len_[pid]} + len_[nid]) >= 4096) {
                if (poll(work)) return Resolved::GiveUp;
                work = 0;
            }
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
            if (rlen == 0) return Resolved::Refuted;
            if (rlen > max_resolvent_len_) return Resolved::GiveUp;
            if (kept > limit) {
                // Already too many; only a later refutation or give-up can
                // still change the outcome.
                res.lits.resize(base);
                continue;
            }
            res.close();
            ++kept;
            if (kept > limit && !may_refute) return Resolved::GiveUp;
        }
    }
    return kept > limit ? Resolved::GiveUp : Resolved::Eliminate;
}

// Replaces x by its resolvents: they are added (and logged) first, then the
// parents are saved for reconstruction and removed.
void Preprocessor::eliminate(Var x, const Cnf& res) {
    for (size_t i = 0; i < res.size(); ++i) {
        insert(res[i], true);
        ++stats_.resolvents;
    }
    save_entry(x, ids_a_, ids_b_);
    for (uint32_t id : ids_a_) remove(id);
    for (uint32_t id : ids_b_) remove(id);
    ++stats_.eliminated_vars;
}

}  // namespace nv
