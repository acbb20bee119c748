// Portfolio failure paths out of reach of the Python tests: a worker thread
// that cannot start, and a worker that throws (its own exception reaches the
// caller, not a stand-in).
#include <atomic>
#include <cerrno>
#include <string>

#include "../../src/core/errors.hpp"
#include "../../src/portfolio/portfolio.hpp"
#include "check.hpp"

using namespace nv;

namespace {

// The second worker to start fails with the exception `fault` throws.
std::atomic<int> starts{0};
void (*fault)() = nullptr;
void fail_second() {
    if (starts.fetch_add(1) == 1) fault();
}

}  // namespace

int main() {
    tl::Rng r{5};
    Cnf f;
    for (const auto& c : tl::random_3sat(r, 60, 260)) f.push(c);
    const Config base;
    auto race = [&] { solve_portfolio(60, f, nullptr, {base, base, base}, 0, false); };
    // The started workers finish first, then the failure is reported.
    for (int at : {1, 0}) {
        testing::fail_spawn_at = at;
        std::string msg;
        try {
            race();
        } catch (const Panic& e) {
            msg = e.what();
        }
        CHECK(msg.rfind("failed to spawn thread", 0) == 0);
    }
    testing::fail_spawn_at = -1;

    testing::on_worker_start = fail_second;
    int caught = 0;
    fault = [] { throw IoError(ENOSPC, "proof.drat"); };
    try {
        race();
    } catch (const IoError& e) {
        caught += e.err == ENOSPC && e.path == "proof.drat";
    }
    fault = [] { throw Panic("worker invariant broken"); };
    starts = 0;
    try {
        race();
    } catch (const Panic& e) {
        caught += std::string(e.what()) == "worker invariant broken";
    }
    CHECK(caught == 2);
    testing::on_worker_start = nullptr;
    auto again = solve_portfolio(60, f, nullptr, {base, base}, 0, true);
    CHECK(again.has_value() && again->worker < 2);
    return tl::finish("test_portfolio");
}
