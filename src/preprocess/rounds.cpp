// The round loop with its subsumption / self-subsuming resolution pass and
// its pure-literal pass.
//
// A round propagates, subsumes and strengthens, removes pure literals,
// eliminates variables (elimination.cpp) and propagates again; rounds go on
// while subsumption, strengthening or elimination changed something.
// Subsumption tries every clause, shortest first, against the occurrence
// lists of its rarest variable, with signatures rejecting most pairs before
// any literal is compared and a budget of pairs per round.  The passes work
// only through the store operations of store.cpp.  An interruption of the
// run's hook ends the current pass where the store is consistent, and the
// run with it.
#include <algorithm>

#include "order.hpp"
#include "preprocessor.hpp"

namespace nv {

bool Preprocessor::run(uint32_t rounds, Interrupt* hook, unsigned poll_every) {
    stop_ = false;
    poll_ = PollCounter(hook, poll_every);
    const bool ok = run_rounds(rounds);
    poll_ = PollCounter(nullptr);
    return ok;
}

bool Preprocessor::run_rounds(uint32_t rounds) {
    if (rounds == 0) return true;
    // Already refuted: the empty clause is in the log; nothing more to do.
    if (unsat_) return false;
    for (uint32_t r = 0; r < rounds; ++r) {
        const Stats before = stats_;
        if (!propagate()) return false;
        if (stop_) return true;
        if (!subsume_pass()) return false;
        if (stop_) return true;
        pure_pass();
        if (stop_) return true;
        if (do_bve_ && !eliminate_pass()) return false;
        if (stop_) return true;
        if (!propagate()) return false;
        if (stop_) return true;
        if (stats_.subsumed != before.subsumed || stats_.strengthened != before.strengthened) continue;
        if (stats_.eliminated_vars == before.eliminated_vars) return true;
    }
    return true;
}

// Every live clause, shortest first (ties by id), tries to subsume or
// strengthen the clauses in the two occurrence lists of its rarest variable.
// Clauses are duplicate-free and never tautological, which the membership
// test below relies on.
bool Preprocessor::subsume_pass() {
    std::vector<uint32_t> order;
    for (size_t id = 0; id < len_.size(); ++id) {
        if (live_[id]) order.push_back(static_cast<uint32_t>(id));
        if ((id & 1023) == 0 && poll(1024)) return true;
    }
    // Lengths as they are now: a clause strengthened during the pass keeps
    // its place.
    keys_.resize(len_.size());
    for (uint32_t id : order) keys_[id] = len_[id];
    if (!stable_order(order, order_tmp_, [this](uint32_t id) { return keys_[id]; },
                      [this](uint64_t units) { return poll(units); }))
        return true;

    int64_t budget = kSubsumeBudget;
    uint64_t work = 0;  // candidates and literals met since the last poll
    std::vector<Lit>& cl = lits_b_;
    for (uint32_t c : order) {
        if (!live_[c]) continue;
        std::span<const Lit> cs = clause(c);
        cl.assign(cs.begin(), cs.end());
        if (cl.empty()) return set_unsat();  // unreachable: propagate refuses these
        Lit p = cl[0];
        size_t best = occs_[p].size() + occs_[neg(p)].size();
        for (size_t i = 1; i < cl.size(); ++i) {
            size_t k = occs_[cl[i]].size() + occs_[neg(cl[i])].size();
            if (k < best) {
                best = k;
                p = cl[i];
            }
        }
        // The walk below: one unit per candidate, one per literal compared.
        if ((work += best + cl.size()) >= 4096) {
            if (poll(work)) return true;
            work = 0;
        }
        const uint32_t s = next_stamp();
        for (Lit l : cl) mark_[l] = s;
        const uint32_t clen = static_cast<uint32_t>(cl.size());
        const uint64_t csig = sigs_[c];

        for (int side = 0; side < 2; ++side) {
            ids_b_ = occs_[side == 0 ? p : neg(p)];
            for (uint32_t d : ids_b_) {
                if (d == c || !live_[d]) continue;
                const uint32_t dlen = len_[d];
                if (dlen < clen) continue;
                if (--budget < 0) return true;
                if ((csig & ~sigs_[d]) != 0) continue;
                if ((work += dlen) >= 4096) {
                    if (poll(work)) return true;
                    work = 0;
                }
                // Count the literals of C present in D and the literals of D
                // whose complement is in C; stop once two of C's are missing.
                const Lit* dl = arena_.data() + start_[d];
                const uint32_t slack = dlen - clen + 1;
                uint32_t present = 0, other = 0, negs = 0;
                bool hopeless = false;
                for (uint32_t i = 0; i < dlen; ++i) {
                    Lit l = dl[i];
                    if (mark_[l] == s) {
                        ++present;
                    } else {
                        if (mark_[neg(l)] == s) ++negs;
                        if (++other > slack) {
                            hopeless = true;
                            break;
                        }
                    }
                }
                if (hopeless) continue;
                if (present == clen) {
                    remove(d);
                    ++stats_.subsumed;
                } else if (present + 1 == clen && negs > 0) {
                    // The one literal a of C missing from D occurs negated
                    // in D; D without ~a is implied.
                    lits_a_.clear();
                    for (uint32_t i = 0; i < dlen; ++i)
                        if (mark_[neg(dl[i])] != s) lits_a_.push_back(dl[i]);
                    if (lits_a_.empty()) return set_unsat();
                    replace(d, lits_a_);
                    ++stats_.strengthened;
                }
            }
        }
    }
    return true;
}

// A variable occurring in one polarity only is removed with its clauses,
// which are kept for reconstruction.
void Preprocessor::pure_pass() {
    for (Var v = 0; v < nvars_; ++v) {
        if (poll(1)) return;
        if (assign_[v] != 0 || frozen_[v]) continue;
        size_t pos = occs_[2 * size_t{v}].size(), ng = occs_[2 * size_t{v} + 1].size();
        if ((pos == 0) == (ng == 0)) continue;
        Lit l = mk_lit(v, pos == 0);
        ids_a_ = occs_[l];
        poll(ids_a_.size());
        save_entry(v, ids_a_, {});
        for (uint32_t id : ids_a_) remove(id);
        ++stats_.pure;
        ++stats_.eliminated_vars;
    }
}

}  // namespace nv
