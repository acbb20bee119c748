// CDCL search core: the public face of one solver, used by the Python
// binding (src/lib/solver_py.cpp) and the portfolio (src/portfolio).  The
// work is done by the private State (state.hpp), split by concern:
// propagate.cpp (watches, propagation, backtracking, clause input),
// analyze.cpp (conflict analysis and learning), search.cpp (the loop,
// decisions, restarts, limits), reduce.cpp, simplify.cpp, walk.cpp,
// probe.cpp, final_conflict.cpp, bulk.cpp and solver.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../core/clock.hpp"
#include "../core/errors.hpp"
#include "../core/interrupt.hpp"
#include "../core/lit.hpp"
#include "../core/proof_log.hpp"
#include "config.hpp"
#include "stats.hpp"

namespace nv {

class ClauseArena;
struct Cnf;

enum class SolveResult : uint8_t { Unsat = 0, Sat = 1, Unknown = 2 };

using StopFlag = std::shared_ptr<std::atomic<bool>>;

class Solver {
public:
    Solver(uint32_t nvars, const Config& config);  // may throw std::bad_alloc
    ~Solver();
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // add_clause, add_clauses and solve write a file proof out before they
    // return, and throw IoError when a write failed (also, before doing
    // anything, once an earlier write has failed: the proof is broken).
    uint32_t new_var();                        // may throw std::bad_alloc
    bool add_clause(const Lit* lits, size_t n);  // may throw std::bad_alloc
    // Adds a batch as add_clause would add each clause in order; returns how
    // many were kept (not dropped as tautologies, as satisfied at level 0 or
    // for arriving after the formula was found unsatisfiable).  Room for the
    // batch is made first: a batch naming more variables than memory holds
    // throws std::bad_alloc with the solver unchanged.
    uint64_t add_clauses(const Cnf& batch);
    uint64_t add_clauses(const ClauseArena& batch);
    // Assumptions are decided first, one decision level each, in the given
    // order; Unsat then means unsatisfiable under them (ok() stays true) and
    // core() names the failed ones.  May throw std::bad_alloc before any change
    // (assumptions over new variables create them).
    SolveResult solve(std::optional<uint64_t> max_conflicts, std::span<const Lit> assumptions = {});
    // Unit propagation of `lits` on top of level 0, without search and with no
    // trace in the search state; `implied` receives the literals made true, in
    // assignment order.  Returns false on a conflict.
    bool propagate(std::span<const Lit> lits, std::vector<Lit>& implied);

    // Limits of solve(): a deadline, a stop flag another thread may raise,
    // and a hook polled (like the other two) every few thousand units of
    // search work; each makes solve() return Unknown soon after it fires,
    // with the solver at level 0 and usable.  nullptr: no hook.
    void set_deadline(std::optional<Instant> deadline) noexcept;
    void set_stop(StopFlag stop) noexcept;
    void set_interrupt(Interrupt* hook) noexcept;
    // Raise / lower the stop flag given to set_stop (nothing without one).
    // Safe from any thread while solve() runs.
    void request_stop() noexcept;
    void clear_stop() noexcept;
    // Turns proof logging on, the steps kept in memory or written to `path`;
    // returns false (and changes nothing) once any add_clause or solve call
    // has happened.  Throws IoError when the file cannot be opened (nothing
    // changed).  A later call replaces the earlier choice.
    bool enable_proof() noexcept;
    bool enable_proof(const std::string& path, ProofFormat format);

    uint32_t nvars() const noexcept;
    bool ok() const noexcept;
    const Stats& stats() const noexcept;
    const std::vector<bool>& model() const noexcept;
    const std::vector<Lit>& core() const noexcept;
    const ProofLog& proof() const noexcept;
    std::vector<bool> take_model() noexcept;
    // The in-memory proof's encoding (decode with for_each_step).
    std::vector<uint8_t> take_proof() noexcept;
    std::vector<std::string> check_watch_invariant() const;  // throws Panic on corrupt indices

    // Testing aid: internals() exposes the private state to tests that
    // include src/solver/state.hpp.
    struct State;
    State* internals() noexcept { return s_.get(); }

private:
    std::unique_ptr<State> s_;
};

}  // namespace nv
