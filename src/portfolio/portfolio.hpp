// Threaded portfolio: several solvers race on one formula (some of them,
// optionally, on an alternative formula); the first answer wins and stops
// the others through a shared flag.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../core/cnf.hpp"
#include "../solver/solver.hpp"

namespace nv {

struct PortfolioOutcome {
    std::vector<bool> model;       // empty unless sat
    // The winner's proof in the in-memory encoding of ProofLog (decode with
    // for_each_step); empty unless unsat with proofs wanted.
    std::vector<uint8_t> proof;
    uint64_t worker = 0;           // position of the configuration
    uint64_t formula = 0;          // 0 main, 1 alternative
    Stats stats;
    bool sat = false;
};

// Builds, loads and runs one solver without limits.  `formula` of the
// outcome is left 0 for the caller to set.
PortfolioOutcome run_one(uint64_t worker, uint32_t nvars, const Cnf& formula, const Config& config,
                         const StopFlag& stop, bool want_proof);

// No outcome when `configs` is empty (or, in a threaded run, when no worker
// sent one).  Returns only after every started worker has ended.  Throws
// nv::Panic "a scoped thread panicked" when a worker failed, "failed to spawn
// thread: ..." when a thread could not be started, std::bad_alloc when a
// worker ran out of memory.
std::optional<PortfolioOutcome> solve_portfolio(uint32_t nvars, const Cnf& main, const Cnf* alt,
                                                const std::vector<Config>& configs, uint64_t alt_threads,
                                                bool want_proof);

namespace testing {
// When set, thread number `fail_spawn_at` (0-based) fails to start with
// EAGAIN; lets tests exercise that path.  -1 disables.
extern int fail_spawn_at;
}  // namespace testing

}  // namespace nv
