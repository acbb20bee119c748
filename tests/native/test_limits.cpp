// Limits and failures inside the search, the checker and the portfolio, out of reach of timed Python
// tests: an interrupt hook firing at its n-th poll, swept over the polls of whole runs, must leave a
// consistent solver that answers right on the next call (after one more clause) and whose proof -- the
// part before the interruption, then the rest -- still checks.  The portfolio stops and joins its workers
// when a thread fails to start and when a worker throws (its own exception reaches the caller).  A
// malformed step list is a Panic of the checker.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "../../src/checker/checker.hpp"
#include "../../src/core/errors.hpp"
#include "../../src/portfolio/portfolio.hpp"
#include "../../src/solver/state.hpp"
#include "check.hpp"

using namespace nv;
using tl::FireAt;
using tl::Formula;

namespace {

// One solve under a hook firing at poll `at`, then an unhooked solve after one more clause, its model or
// proof checked.  Returns the number of polls the hooked solve made and the second answer.
std::pair<uint64_t, SolveResult> interrupted_run(uint32_t nvars, const Formula& f, const Config& cfg, uint64_t at,
                                                 const tl::Clause& extra) {
    Solver s(nvars, cfg);
    s.enable_proof();
    for (const auto& c : f) s.add_clause(c.data(), c.size());
    FireAt hook(at);
    s.set_interrupt(&hook);
    SolveResult r = s.solve(std::nullopt);
    bool fired = at != 0 && hook.polls >= at;
    CHECK(fired == (r == SolveResult::Unknown));
    CHECK(s.check_watch_invariant().empty());
    if (fired) CHECK(s.internals()->trail_lim.empty() && s.model().empty());
    s.set_interrupt(nullptr);
    Formula g = f;
    g.push_back(extra);
    s.add_clause(extra.data(), extra.size());
    SolveResult r2 = s.solve(std::nullopt);
    CHECK(r2 != SolveResult::Unknown && s.check_watch_invariant().empty());
    if (r2 == SolveResult::Sat) CHECK(tl::satisfies(g, s.model()));
    if (r2 == SolveResult::Unsat) {
        CheckReport rep = check_proof(nvars, tl::cnf_of(g), tl::steps_of(s.proof()), true, true);
        CHECK(rep.ok && rep.empty_derived);
    }
    return {hook.polls, r2};
}

void test_interrupted_anywhere() {
    struct Case {
        const char* name;
        Config cfg;
        uint32_t nvars;
        Formula f;
    };
    // A unit learned at the first conflict (x0 false makes a conflict at level 1) fixes a chain of 60000
    // implications at level 0: the polls fire inside that propagation, the rest comes in the next call.
    Formula chain = tl::random_3sat(48, 150, 600);
    for (auto& c : chain)
        for (Lit& l : c) l += 2 * 60002;
    chain.push_back({mk_lit(0, false), mk_lit(1, false)});
    chain.push_back({mk_lit(0, false), mk_lit(1, true)});
    for (uint32_t v = 2; v < 60002; ++v) chain.push_back({mk_lit(v == 2 ? 0 : v - 1, true), mk_lit(v, false)});
    const Case cases[] = {
        {"default", Config{}, 150, tl::random_3sat(41, 150, 639)},
        {"walks", Config{.walk_flips = 20000, .walk_patience = 1000, .walk_min_conflicts = 0, .luby_base = 20}, 200,
         tl::random_3sat(47, 200, 800)},
        {"reductions", Config{.restart = Restart::Glucose, .first_reduce = 30, .reduce_inc = 0, .glue_keep = 0}, 150,
         tl::random_3sat(47, 150, 639)},
        {"no restarts", Config{.restart = Restart::None, .ccmin = Ccmin::Basic, .target_phase = false}, 180,
         tl::random_3sat(44, 180, 767)},
        {"level-0 chain", Config{}, 60152, chain},
    };
    tl::Rng r{45};
    for (const Case& c : cases) {
        tl::Clause extra{mk_lit(r.below(c.nvars), true), mk_lit(r.below(c.nvars), false)};
        auto [polls, expected] = interrupted_run(c.nvars, c.f, c.cfg, 0, extra);
        CHECK(polls >= 8);
        for (uint64_t at = 1; at <= polls + 1; at += polls / 25 + 1)
            CHECK(interrupted_run(c.nvars, c.f, c.cfg, at, extra).second == expected);
    }
}

// The second worker to start fails with the exception `fault` throws.
std::atomic<int> starts{0};
void (*fault)() = nullptr;
void fail_second() {
    if (starts.fetch_add(1) == 1) fault();
}

void test_portfolio_stops() {
    Formula php(11);  // 11 pigeons in 10 holes: minutes for every worker
    for (uint32_t h = 0; h < 10; ++h) {
        for (uint32_t p = 0; p <= 10; ++p) {
            php[p].push_back(mk_lit(p * 10 + h, false));
            for (uint32_t q = p + 1; q <= 10; ++q) php.push_back({mk_lit(p * 10 + h, true), mk_lit(q * 10 + h, true)});
        }
    }
    const Cnf f = tl::cnf_of(php);
    const Config glucose{.restart = Restart::Glucose};

    // A worker thread that cannot start stops those already running at once, then the failure is reported.
    for (int at : {1, 0}) {
        testing::fail_spawn_at = at;
        auto t = std::chrono::steady_clock::now();
        std::string msg;
        try {
            solve_portfolio(110, f, nullptr, {Config{}, glucose, Config{}}, 0, false);
        } catch (const Panic& e) {
            msg = e.what();
        }
        CHECK(std::chrono::steady_clock::now() - t < std::chrono::seconds(5) &&
              msg.rfind("failed to spawn thread", 0) == 0);
    }
    testing::fail_spawn_at = -1;

    // A worker that throws: its own exception reaches the caller.
    const Cnf g = tl::cnf_of(tl::random_3sat(5, 60, 260));
    auto thrown = [&](void (*f)()) -> std::string {
        fault = f;
        starts = 0;
        try {
            solve_portfolio(60, g, nullptr, {Config{}, Config{}, Config{}}, 0, false);
        } catch (const IoError& e) {
            return std::to_string(e.err) + " " + e.path;
        } catch (const Panic& e) {
            return e.what();
        } catch (...) {
            return "another exception";
        }
        return "no exception";
    };
    testing::on_worker_start = fail_second;
    CHECK(thrown([] { throw IoError(ENOSPC, "proof.drat"); }) == std::to_string(ENOSPC) + " proof.drat");
    CHECK(thrown([] { throw Panic("worker invariant broken"); }) == "worker invariant broken");
    testing::on_worker_start = nullptr;
    auto again = solve_portfolio(60, g, nullptr, {Config{}, Config{}}, 0, true);
    CHECK(again.has_value() && again->worker < 2);
}

void test_malformed_steps() {
    StepList bad;
    bad.is_deletion.push_back(false);
    CHECK(tl::throws<Panic>([&] { check_proof(1, Cnf{}, bad, true, true); }));
}

}  // namespace

int main() {
    test_interrupted_anywhere();
    test_portfolio_stops();
    test_malformed_steps();
    return tl::finish("test_limits");
}
