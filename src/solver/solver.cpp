// Solver construction, variable growth, activities and the public wrappers.
//
// Variables are added one at a time, but the room for them is reserved in
// advance (reserve_vars), checked against the memory the machine has, so a
// refusal happens before anything changes.  The public methods of
// solver.hpp wrap the private state: they set up and clear limits, proof
// logging and results around the work done in the other files of this
// folder.
#include "solver.hpp"

#include <cmath>
#include <new>
#include <utility>

#include "../core/memory.hpp"
#include "state.hpp"

namespace nv {

namespace {

// Literals name variables below 2^31 only.
constexpr uint64_t MAX_VARS = uint64_t{1} << 31;

// Bytes one variable occupies across every per-variable and per-literal
// vector (the trail and the level limits can hold one entry per variable;
// a model takes a bit, rounded up to a byte).
constexpr uint64_t BYTES_PER_VAR =
    2 * sizeof(uint8_t)                  // vals
    + sizeof(uint32_t)                   // level
    + sizeof(uint32_t)                   // reason
    + 2 * sizeof(std::vector<Watch>)     // watch lists
    + sizeof(double)                     // activity
    + sizeof(uint32_t) + sizeof(int32_t) // heap entry and position
    + 3 * sizeof(uint8_t)                // phase, target, seen
    + sizeof(uint64_t)                   // level_stamp
    + sizeof(Lit)                        // trail
    + sizeof(uint32_t)                   // trail_lim
    + 1;                                 // model

}  // namespace

double luby(uint64_t x) noexcept {
    uint64_t size = 1;
    int seq = 0;
    while (size <= x && size != UINT64_MAX) {
        seq += 1;
        size = 2 * size + 1;
    }
    while (size - 1 != x) {
        size = (size - 1) / 2;
        seq -= 1;
        x = x % size;
    }
    return std::ldexp(1.0, seq);
}

Solver::State::State(const Config& c)
    : cfg(c),
      heap(activity),
      var_decay_now(c.var_decay),
      level_stamp(1, 0),
      next_reduce(c.first_reduce),
      rng(c.rnd_seed) {}

void Solver::State::reserve_vars(uint64_t total) {
    if (total <= var_cap) return;
    if (total > MAX_VARS) throw std::bad_alloc();
    uint64_t cap = var_cap * 2;
    if (cap < total) cap = total;
    if (cap > MAX_VARS) cap = MAX_VARS;
    if (cap > total) {
        try {
            ensure_fits(cap, BYTES_PER_VAR);
        } catch (const std::bad_alloc&) {
            cap = total;
        }
    }
    ensure_fits(cap, BYTES_PER_VAR);
    // Only capacities change here; a failure part-way leaves every vector
    // with its old length, so the solver stays as it was.
    vals.reserve(2 * cap);
    level.reserve(cap);
    reason.reserve(cap);
    watches.reserve(2 * cap);
    activity.reserve(cap);
    heap.heap.reserve(cap);
    heap.indices.reserve(cap);
    phase.reserve(cap);
    target.reserve(cap);
    seen.reserve(cap);
    level_stamp.reserve(cap + 1);
    trail.reserve(cap);
    trail_lim.reserve(cap);
    var_cap = cap;
}

void Solver::State::push_var() noexcept {
    uint32_t v = nvars;
    nvars += 1;
    vals.push_back(0);
    vals.push_back(0);
    level.push_back(0);
    reason.push_back(NO_REASON);
    watches.emplace_back();
    watches.emplace_back();
    activity.push_back(0.0);
    phase.push_back(cfg.init_phase ? 1 : 0);
    target.push_back(0);
    seen.push_back(0);
    level_stamp.push_back(0);
    heap.indices.push_back(-1);
    heap.insert(v);
}

uint32_t Solver::State::new_var() {
    reserve_vars(uint64_t{nvars} + 1);
    push_var();
    return nvars - 1;
}

void Solver::State::rescale_vars() noexcept {
    for (double& a : activity) a *= 1e-100;
    var_inc *= 1e-100;
}

void Solver::State::rescale_clauses() noexcept {
    for (CRef l : learnts) set_activity(l, activity_of(l) * 1e-20);
    cla_inc *= 1e-20;
}

// ---------------------------------------------------------------- public

Solver::Solver(uint32_t nvars, const Config& config) : s_(std::make_unique<State>(config)) {
    s_->reserve_vars(nvars);
    for (uint32_t i = 0; i < nvars; ++i) s_->push_var();
}

Solver::~Solver() = default;

uint32_t Solver::new_var() { return s_->new_var(); }

bool Solver::add_clause(const Lit* lits, size_t n) {
    s_->proof.check();
    bool r = s_->add_clause(lits, n);
    s_->proof.flush();
    return r;
}

SolveResult Solver::solve(std::optional<uint64_t> max_conflicts, std::span<const Lit> assumptions) {
    s_->proof.check();
    SolveResult r = s_->solve(max_conflicts, assumptions);
    s_->proof.flush();
    return r;
}

bool Solver::propagate(std::span<const Lit> lits, std::vector<Lit>& implied) { return s_->probe(lits, implied); }

void Solver::set_deadline(std::optional<Instant> deadline) noexcept { s_->deadline = deadline; }

void Solver::set_stop(StopFlag stop) noexcept { s_->stop = std::move(stop); }

void Solver::set_interrupt(Interrupt* hook) noexcept { s_->interrupt = hook; }

void Solver::request_stop() noexcept {
    if (s_->stop) s_->stop->store(true, std::memory_order_relaxed);
}

void Solver::clear_stop() noexcept {
    if (s_->stop) s_->stop->store(false, std::memory_order_relaxed);
}

bool Solver::enable_proof() noexcept {
    if (s_->clause_added) return false;
    s_->proof.keep_in_memory();
    return true;
}

bool Solver::enable_proof(const std::string& path, ProofFormat format) {
    if (s_->clause_added) return false;
    s_->proof.open(path, format);
    return true;
}

uint32_t Solver::nvars() const noexcept { return s_->nvars; }
bool Solver::ok() const noexcept { return s_->ok; }
const Stats& Solver::stats() const noexcept { return s_->stats; }
const std::vector<bool>& Solver::model() const noexcept { return s_->model; }
const std::vector<Lit>& Solver::core() const noexcept { return s_->core; }
const ProofLog& Solver::proof() const noexcept { return s_->proof; }
std::vector<bool> Solver::take_model() noexcept { return std::exchange(s_->model, {}); }
std::vector<uint8_t> Solver::take_proof() noexcept { return s_->proof.take_encoded(); }

std::vector<std::string> Solver::check_watch_invariant() const { return s_->check_watch_invariant(); }

}  // namespace nv
