// Portfolio race: worker routing, outcomes, stop flag and failure paths.
#include <cassert>
#include <cstdio>
#include <string>

#include "../../src/core/errors.hpp"
#include "../../src/portfolio/portfolio.hpp"

using namespace nv;

static int failures = 0;
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

static Cnf cnf(std::initializer_list<std::initializer_list<Lit>> cs) {
    Cnf c;
    for (auto& cl : cs) {
        for (Lit l : cl) c.lits.push_back(l);
        c.close();
    }
    return c;
}

// Pigeonhole: n+1 pigeons, n holes (unsatisfiable, needs some search).
static Cnf php(uint32_t n) {
    Cnf c;
    auto v = [&](uint32_t p, uint32_t h) { return p * n + h; };
    for (uint32_t p = 0; p <= n; ++p) {
        for (uint32_t h = 0; h < n; ++h) c.lits.push_back(2 * v(p, h));
        c.close();
    }
    for (uint32_t h = 0; h < n; ++h)
        for (uint32_t a = 0; a <= n; ++a)
            for (uint32_t b = a + 1; b <= n; ++b) {
                c.lits.push_back(2 * v(a, h) + 1);
                c.lits.push_back(2 * v(b, h) + 1);
                c.close();
            }
    return c;
}

int main() {
    Config base;
    Cnf empty;

    // No configuration: no outcome.
    CHECK(!solve_portfolio(3, cnf({{0}}), nullptr, {}, 0, false).has_value());

    // One configuration runs on the calling thread; the alternative formula is
    // used only with alt_threads >= 1.
    Cnf contradiction = cnf({{0}, {1}});
    auto one = solve_portfolio(1, contradiction, nullptr, {base}, 0, true);
    CHECK(one && !one->sat && one->worker == 0 && one->formula == 0);
    CHECK(one->stats.propagations == 1 && one->stats.conflicts == 0);
    CHECK(one->proof.size() == 1 && !one->proof[0].is_deletion && one->proof[0].lits.empty());
    auto alt_one = solve_portfolio(1, contradiction, &empty, {base}, 1, false);
    CHECK(alt_one && alt_one->sat && alt_one->formula == 1);

    // Routing: the alternative formula goes to the last k workers.
    Cnf hard = php(7);
    for (uint64_t k : {0, 1, 3, 10}) {
        auto o = solve_portfolio(56, hard, &empty, {base, base, base, base}, k, false);
        CHECK(o.has_value());
        bool alt_worker = k > 0 && o->worker >= 4 - (k < 4 ? k : 4);
        CHECK(o->formula == (alt_worker ? 1u : 0u));
        CHECK(o->sat == alt_worker);  // the alternative formula is trivially satisfiable
    }

    // Unsat with proofs: the winner's proof ends with the empty clause.
    Config glucose = base;
    glucose.restart = Restart::Glucose;
    auto u = solve_portfolio(30, php(5), nullptr, {base, glucose}, 0, true);
    CHECK(u && !u->sat && u->model.empty() && !u->proof.empty());
    CHECK(!u->proof.back().is_deletion && u->proof.back().lits.empty());

    // A thread that cannot start: the started ones finish, then the failure.
    testing::fail_spawn_at = 1;
    try {
        solve_portfolio(30, php(5), nullptr, {base, base, base}, 0, false);
        CHECK(false);
    } catch (const Panic& e) {
        CHECK(std::string(e.what()).rfind("failed to spawn thread", 0) == 0);
    }
    testing::fail_spawn_at = 0;  // not even the first worker starts
    try {
        solve_portfolio(30, php(5), nullptr, {base, base}, 0, false);
        CHECK(false);
    } catch (const Panic& e) {
        CHECK(std::string(e.what()).rfind("failed to spawn thread", 0) == 0);
    }
    testing::fail_spawn_at = -1;

    // Still usable afterwards.
    auto again = solve_portfolio(2, cnf({{0, 2}}), nullptr, {base, base}, 0, true);
    CHECK(again && again->sat && again->proof.empty() && again->model.size() == 2);
    CHECK(again->model[0] || again->model[1]);

    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("portfolio tests passed");
    return 0;
}
