// The search loop: decisions, target phases, restarts and limits.
//
// Assumptions are decided before any other decision, one decision level each
// and in the order given; an assumption already true at its turn opens an
// empty level, one already false ends the call with Unsat (the failed ones are
// found by final_conflict.cpp).  A restart, and the phase walk it may run,
// backtrack only to the last assumption level, so the walk starts from the
// assumptions' values; top-level simplification runs only when the search is
// back at level 0, before the assumptions are decided again.  Without
// assumptions every step is the plain search.
#include <algorithm>
#include <new>

#include "state.hpp"

namespace nv {

void Solver::State::update_target() noexcept {
    if (trail.size() > best_trail) {
        best_trail = trail.size();
        for (size_t i = target_synced; i < trail.size(); ++i) target[var_of(trail[i])] = is_neg(trail[i]) ? 0 : 1;
        target_synced = trail.size();
    }
}

bool Solver::State::restart_due() const noexcept {
    uint64_t since = stats.conflicts - last_restart;
    switch (cfg.restart) {
    case Restart::Glucose:
        return since >= 50 && ema_fast.value * 0.8 > ema_slow.value;
    case Restart::Luby:
        // A restart needs at least one conflict since the previous one, so
        // a non-positive base cannot restart forever without deciding.
        return since > 0 && cfg.luby_base * luby(luby_index) <= static_cast<double>(since);
    default:
        return false;
    }
}

// Every conflict feeds the averages the restart policy compares: the glue
// of the learned clause, fast and slow, and the trail length at the
// conflict.  A trail much longer than usual suggests the search is near a
// model, so that conflict blocks a restart: it counts as the last restart.
void Solver::State::update_restart_averages(uint32_t glue) noexcept {
    ema_fast.update(static_cast<double>(glue));
    ema_slow.update(static_cast<double>(glue));
    ema_trail.update(static_cast<double>(trail.size()));
    if (cfg.block_restart && stats.conflicts >= 10000 &&
        ema_trail.value * 1.4 < static_cast<double>(trail.size())) {
        stats.blocked_restarts += 1;
        last_restart = stats.conflicts;
    }
}

void Solver::State::restart() {
    // Restarts keep the assumption levels.
    const uint32_t floor = static_cast<uint32_t>(std::min<size_t>(assumptions.size(), UINT32_MAX));
    stats.restarts += 1;
    luby_index += 1;
    last_restart = stats.conflicts;
    if (cfg.target_reset > 0 && stats.restarts % cfg.target_reset == 0) best_trail = 0;
    // A walk interval of 0 means no walk.
    if (cfg.walk_flips > 0 && stats.conflicts >= cfg.walk_min_conflicts && walk_fails < cfg.walk_patience &&
        cfg.walk_interval > 0 && stats.restarts % cfg.walk_interval == 0) {
        cancel_until(floor);
        phase_walk();
    }
    cancel_until(floor);
}

bool Solver::State::decide() {
    uint32_t v = NO_REASON;
    if (cfg.rnd_freq > 0) {
        double u = draw();
        if (u < cfg.rnd_freq && !heap.empty()) {
            uint32_t cand = heap.heap[draw_index(heap.size())];
            if (vals[2 * static_cast<size_t>(cand)] == 0) v = cand;
        }
    }
    if (v == NO_REASON) {
        for (;;) {
            if (heap.empty()) return false;
            uint32_t x = heap.remove_best();
            if (vals[2 * static_cast<size_t>(x)] == 0) {
                v = x;
                break;
            }
        }
    }
    stats.decisions += 1;
    trail_lim.push_back(static_cast<uint32_t>(trail.size()));
    bool positive = cfg.target_phase ? target[v] != 0 : phase[v] != 0;
    enqueue(mk_lit(v, !positive), NO_REASON);
    return true;
}

bool Solver::State::poll_now() noexcept {
    if (!searching) {
        poll_work = 0;  // add_clause and propagate(assumptions) go to the end
        return false;
    }
    if (halted) return true;
    poll_work = 0;
    if ((stop && stop->load(std::memory_order_relaxed)) || (deadline.has_value() && *deadline <= Instant::now()) ||
        (interrupt && interrupt->pending())) {
        halted = true;
        poll_work = POLL_EVERY;  // every later poll answers at once
    }
    return halted;
}

namespace {

// Polling is on for the duration of one solve() call, however it ends.
struct Searching {
    Solver::State& s;
    explicit Searching(Solver::State& st) : s(st) {
        s.searching = true;
        s.halted = false;
        s.poll_work = 0;
    }
    ~Searching() {
        s.searching = false;
        s.halted = false;
        s.poll_work = 0;
    }
};

}  // namespace

// Room for the assumptions' variables and decision levels, made before
// anything changes, so that a refusal changes nothing.  Every assumption,
// empty levels included, may take a decision level besides one per
// variable; returns that number of levels (0 without assumptions).
size_t Solver::State::reserve_for_assumptions(std::span<const Lit> assume) {
    if (!ok || assume.empty()) return 0;
    uint64_t need = nvars;
    for (Lit a : assume) need = std::max<uint64_t>(need, uint64_t{var_of(a)} + 1);
    reserve_vars(need);
    if (assume.size() > UINT32_MAX - need) throw std::bad_alloc();
    const size_t levels = static_cast<size_t>(need + assume.size());
    level_stamp.reserve(levels + 1);
    trail_lim.reserve(levels);
    return levels;
}

void Solver::State::save_model() {
    model.resize(nvars);
    for (uint32_t v = 0; v < nvars; ++v) model[v] = vals[2 * static_cast<size_t>(v)] == 1;
}

SolveResult Solver::State::solve(std::optional<uint64_t> max_conflicts, std::span<const Lit> assume) {
    const size_t levels = reserve_for_assumptions(assume);
    // Then the model goes, so that no earlier Sat model survives a call that runs.
    model.clear();
    core.clear();
    clause_added = true;
    if (!ok) return SolveResult::Unsat;
    cancel_until(0);
    if (!assume.empty()) {
        for (Lit a : assume)
            while (nvars <= var_of(a)) push_var();
        level_stamp.resize(levels + 1, 0);
    }
    // Outside this call the solver has no assumptions and one glue stamp per
    // variable, however the call ends.
    struct Scope {
        State& s;
        ~Scope() {
            s.assumptions = {};
            s.level_stamp.resize(static_cast<size_t>(s.nvars) + 1);
        }
    } scope{*this};
    assumptions = assume;
    Searching searching_now(*this);
    uint64_t n = 0;
    // The clock is read at the first search step, then once 256 more
    // conflicts have happened or CLOCK_STEPS search steps have gone by
    // without a reading, whichever comes first: a search that makes no
    // conflicts still sees its time limit, and one that makes many reads the
    // clock rarely.
    constexpr uint32_t CLOCK_STEPS = 1024;
    uint64_t clock_at = 0;
    uint32_t clock_steps = 0;
    for (;;) {
        bool exhausted = max_conflicts.has_value() && n >= *max_conflicts;
        uint32_t confl;
        if (!exhausted) {
            for (;;) {
                confl = propagate();
                if (confl != NO_CLAUSE) break;
                // A halted pass (propagation, walk, cleaning, reduction) ends
                // the search here, before anything is decided.
                if (halted) {
                    cancel_until(0);
                    return SolveResult::Unknown;
                }
                if (cfg.target_phase) update_target();
                if (deadline.has_value() && (n >= clock_at || ++clock_steps >= CLOCK_STEPS)) {
                    clock_at = n + 256;
                    clock_steps = 0;
                    if (*deadline <= Instant::now()) {
                        cancel_until(0);
                        return SolveResult::Unknown;
                    }
                }
                if (restart_due()) {
                    restart();
                    continue;
                }
                if (decision_level() == 0 && stats.propagations > simp_props) {
                    if (!simplify()) return SolveResult::Unsat;
                    if (halted) return SolveResult::Unknown;
                }
                if (decision_level() < assumptions.size()) {
                    Lit a = assumptions[decision_level()];
                    if (vals[a] == 2) {
                        analyze_final(a);
                        cancel_until(0);
                        return SolveResult::Unsat;
                    }
                    trail_lim.push_back(static_cast<uint32_t>(trail.size()));
                    if (vals[a] == 0) enqueue(a, NO_REASON);
                    continue;
                }
                if (!decide()) {
                    save_model();
                    return SolveResult::Sat;
                }
            }
        } else {
            confl = propagate();
            if (confl == NO_CLAUSE) {
                if (cfg.target_phase && !halted) update_target();
                cancel_until(0);
                return SolveResult::Unknown;
            }
        }
        stats.conflicts += 1;
        // A conflict at level 0 refutes the formula whatever else was asked:
        // answering Unknown here would leave the refutation unrecorded (the
        // queue is already drained) and a later call could answer Sat.
        if (decision_level() == 0) {
            log_empty();
            ok = false;
            return SolveResult::Unsat;
        }
        if (stop && stop->load(std::memory_order_relaxed)) {
            cancel_until(0);
            return SolveResult::Unknown;
        }
        n += 1;
        analyze(confl);
    }
}

}  // namespace nv
