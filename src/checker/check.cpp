// The rules of a check: loading the formula, examining each step (deletions,
// the RUP and RAT tests, storing accepted lemmas), the verdicts, and the run
// of a whole check over a step source -- in the fast mode first, over again
// in the exact mode when a step needs it (see checker.hpp).  The store and
// propagation are in store.cpp.
#include <utility>

#include "../core/errors.hpp"
#include "checker.hpp"

namespace nv {

namespace {

const char* const kMsgUnitRefuted = "input formula is refuted by unit propagation alone";
const char* const kMsgVerified = "empty clause derived and every step verified";
const char* const kMsgNoEmpty = "every step verified, but the proof never derives the empty clause";
const char* const kMsgNotRup = "clause is not RUP (RAT checking disabled)";
const char* const kMsgNeither =
    "clause is neither RUP nor RAT with respect to the clauses available at this point";

// A ClauseArena read as a formula.
struct ArenaFormula {
    const ClauseArena& a;
    size_t size() const noexcept { return a.num_clauses(); }
    std::span<const Lit> operator[](size_t i) const noexcept { return a.clause(i); }
};

}  // namespace

template <class Formula>
void Checker::load(const Formula& formula) {
    for (size_t i = 0; i < formula.size(); ++i) {
        if (prop.poll && prop.poll->tick()) throw Interrupted{};
        const std::span<const Lit> c = formula[i];
        if (c.empty()) inconsistent = true;
        insert(c);
    }
    if (inconsistent) return;
    for (Lit u : prop.unit_lits) {
        if (prop.is_true(u)) continue;
        if (prop.is_false(u)) {
            inconsistent = true;
            return;
        }
        prop.assign(u);
    }
    inconsistent = prop.propagate(0);
}

// A clause whose only true literal is implied by it at the top level: one
// true literal (counting repetitions once), every other literal false.
bool Checker::rests_on_single_truth(uint32_t ref) const {
    bool have = false;
    Lit t = 0;
    for (Lit l : prop.lits(ref)) {
        const uint8_t v = prop.vals[l];
        if (v == Prop::kTrue) {
            if (have && l != t) return false;
            have = true;
            t = l;
        } else if (v != Prop::kFalse) {
            return false;
        }
    }
    return have;
}

bool Checker::is_rat(std::span<const Lit> c) {
    if (!occs_built_) build_occs();
    const Lit np = neg(c[0]);
    const uint32_t member = next_stamp(1);
    for (Lit l : c) stamp_[l] = member;
    // The candidates in insertion order; RUP tests insert nothing, so the
    // list does not change under the loop.
    const std::vector<uint32_t>& candidates = occs_[np];
    for (size_t ci = 0; ci < candidates.size(); ++ci) {
        const uint32_t ref = candidates[ci];
        if (!prop.live(ref)) continue;
        bool tautology = false;
        resolvent_.assign(c.begin(), c.end());
        for (Lit l : prop.lits(ref)) {
            if (l == np) continue;
            if (stamp_[neg(l)] == member) {
                tautology = true;
                break;
            }
            if (stamp_[l] != member) resolvent_.push_back(l);
        }
        if (tautology) continue;
        ++report.rat_checks;
        if (!is_rup(resolvent_)) return false;
    }
    return true;
}

void Checker::add_lemma(std::span<const Lit> c) {
    for (Lit l : c) {
        if (prop.is_true(l)) {
            insert(c);
            return;
        }
    }
    order_buf_.clear();
    for (Lit l : c)
        if (!prop.is_false(l)) order_buf_.push_back(l);
    const size_t open = order_buf_.size();
    for (Lit l : c)
        if (prop.is_false(l)) order_buf_.push_back(l);
    // Number of distinct non-false (here: unassigned) literals, up to 2.
    int n = open == 0 ? 0 : 1;
    for (size_t i = 1; i < open; ++i) {
        if (order_buf_[i] != order_buf_[0]) {
            n = 2;
            break;
        }
    }
    const Lit unit = open == 0 ? 0 : order_buf_[0];
    insert(order_buf_);
    if (n == 0) {
        inconsistent = true;
    } else if (n == 1) {
        const size_t pos = prop.trail.size();
        prop.assign(unit);
        if (prop.propagate(pos)) {
            inconsistent = true;
            order_dependent = true;
        }
    }
}

void Checker::fail(const char* message) {
    report.ok = false;
    report.message = message;
    report.failed_step = static_cast<int64_t>(report.steps);
}

bool Checker::step(bool is_deletion, std::span<const Lit> lits) {
    ++report.steps;
    if (!lits.empty()) grow(lits);
    if (is_deletion) {
        if (lits.size() <= 1) {
            ++report.skipped;
            return true;
        }
        if (!apply_deletions) return true;
        if (order_dependent && !prop.exact) {
            needs_exact = true;
            return false;
        }
        // A clause that is the only support of a top-level literal stays:
        // the literal remains assigned, so the clause must remain as well.
        const int64_t pos = find(lits);
        if (pos < 0 || rests_on_single_truth(ref_at(static_cast<size_t>(pos)))) {
            ++report.skipped;
        } else {
            remove(static_cast<size_t>(pos));
            ++report.deleted;
        }
        return true;
    }
    if (lits.empty()) {
        if (is_rup(lits)) {
            ++report.rup;
            report.empty_derived = true;
        } else {
            fail(check_rat ? kMsgNeither : kMsgNotRup);
        }
        return false;
    }
    if (is_rup(lits)) {
        ++report.rup;
    } else if (!check_rat) {
        fail(kMsgNotRup);
        return false;
    } else if (is_rat(lits)) {
        ++report.rat;
    } else {
        fail(kMsgNeither);
        return false;
    }
    add_lemma(lits);
    return true;
}

namespace {

// Reads the steps left in `steps` for their format errors only.
void drain(StepSource& steps, PollCounter& poll) {
    bool del;
    std::span<const Lit> lits;
    while (steps.next(del, lits))
        if (poll.tick()) throw Interrupted{};
}

// One pass over the proof; `restart` is set when the fast mode has to hand
// over to the exact mode.
template <class Formula>
CheckReport run(uint32_t nvars, const Formula& formula, StepSource& steps, const CheckOptions& o, bool exact,
                bool& restart) {
    PollCounter poll(o.interrupt);
    Checker ck(nvars, o.check_rat, o.apply_deletions, exact);
    ck.prop.poll = &poll;
    ck.load(formula);
    if (ck.inconsistent) {
        drain(steps, poll);
        CheckReport r;
        r.ok = true;
        r.empty_derived = true;
        r.message = kMsgUnitRefuted;
        return r;
    }
    bool ended = false;
    bool del;
    std::span<const Lit> lits;
    while (!ended && steps.next(del, lits)) {
        if (poll.tick()) throw Interrupted{};
        ended = !ck.step(del, lits);
    }
    if (ck.needs_exact) {
        restart = true;
        return {};
    }
    drain(steps, poll);
    CheckReport& r = ck.report;
    if (r.empty_derived) {
        r.ok = true;
        r.message = kMsgVerified;
    } else if (!ended) {
        r.ok = false;
        r.message = kMsgNoEmpty;
        r.failed_step = -1;
    }
    return std::move(r);
}

template <class Formula>
CheckReport check(uint32_t nvars, const Formula& formula, StepSource& steps, const CheckOptions& o) {
    try {
        bool restart = false;
        CheckReport r = run(nvars, formula, steps, o, false, restart);
        if (!restart) return r;
        steps.rewind();
        return run(nvars, formula, steps, o, true, restart);
    } catch (const Interrupted&) {
        CheckReport r;
        r.interrupted = true;
        return r;
    }
}

}  // namespace

CheckReport check_proof(uint32_t nvars, const Cnf& clauses, StepSource& steps, const CheckOptions& options) {
    return check(nvars, clauses, steps, options);
}

CheckReport check_proof(uint32_t nvars, const ClauseArena& clauses, StepSource& steps,
                        const CheckOptions& options) {
    return check(nvars, ArenaFormula{clauses}, steps, options);
}

CheckReport check_proof(uint32_t nvars, const Cnf& clauses, const StepList& steps, bool check_rat,
                        bool apply_deletions) {
    if (steps.clauses.size() != steps.size()) throw Panic("checker: step flags and step clauses differ in number");
    StepListSource source(steps);
    CheckOptions o;
    o.check_rat = check_rat;
    o.apply_deletions = apply_deletions;
    return check_proof(nvars, clauses, source, o);
}

}  // namespace nv
