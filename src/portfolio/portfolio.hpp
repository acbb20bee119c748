// Threaded portfolio: several solvers race on one formula (some of them,
// optionally, on an alternative formula); the first answer wins and stops
// the others through a shared flag.
//
// Limits (a conflict budget per worker, a deadline, an interrupt hook) end a
// run without an answer.  Workers look at the stop flag and the deadline
// while they load their clauses and, through their solver's polling, inside
// every long pass of the search, so they stop within milliseconds of the
// flag.  The calling thread waits for the first answer in short slices,
// polling the hook and the deadline between them; when the hook fires, or a
// worker thread fails to start or fails, it raises the flag at once and
// joins every worker before returning or throwing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../core/clock.hpp"
#include "../core/cnf.hpp"
#include "../core/interrupt.hpp"
#include "../solver/solver.hpp"

namespace nv {

inline constexpr uint64_t NO_WORKER = UINT64_MAX;

struct PortfolioOutcome {
    std::vector<bool> model;       // empty unless sat
    // The winner's proof in the in-memory encoding of ProofLog (decode with
    // for_each_step); empty unless unsat with proofs wanted.
    std::vector<uint8_t> proof;
    uint64_t worker = 0;           // position of the configuration
    uint64_t formula = 0;          // 0 main, 1 alternative
    Stats stats;
    bool sat = false;
    // No answer: the limits ran out or the run was interrupted.  `worker` is
    // then NO_WORKER, `formula` 0, model and proof are empty, and `stats`
    // adds up the counters of every worker (max_trail: the largest).
    bool unknown = false;
};

struct RunLimits {
    std::optional<uint64_t> max_conflicts;  // per worker
    std::optional<Instant> deadline;
    // Polled on the calling thread only: by the solver of a single-worker
    // run, by the wait for the first answer otherwise.
    Interrupt* interrupt = nullptr;
};

// Builds, loads and runs one solver within `limits`.  `formula` of the
// outcome is left 0 for the caller to set; an outcome without an answer has
// `unknown` set (its `worker` stays the index given).
PortfolioOutcome run_one(uint64_t worker, uint32_t nvars, const Cnf& formula, const Config& config,
                         const StopFlag& stop, bool want_proof, const RunLimits& limits = {});

// No outcome when `configs` is empty.  Returns only after every started
// worker has ended.  Throws nv::Panic "failed to spawn thread: ..." when a
// thread could not be started; when a worker failed, the exception it threw
// (the first worker to fail: std::bad_alloc when it ran out of memory,
// nv::Panic with its message on a broken invariant, and so on).
std::optional<PortfolioOutcome> solve_portfolio(uint32_t nvars, const Cnf& main, const Cnf* alt,
                                                const std::vector<Config>& configs, uint64_t alt_threads,
                                                bool want_proof, const RunLimits& limits = {});

namespace testing {
// When set, thread number `fail_spawn_at` (0-based) fails to start with
// EAGAIN; lets tests exercise that path.  -1 disables.
extern int fail_spawn_at;
// When set, called by each worker thread as it starts (once its per-thread
// storage is set up); lets tests exhaust memory inside a worker or make it
// fail with an exception of their choice.
extern void (*on_worker_start)();
}  // namespace testing

}  // namespace nv
