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

std::atomic<int> starts{0};

// The second worker to start fails with the exception of the current round.
int round_kind = 0;
void fail_second() {
    if (starts.fetch_add(1) != 1) return;
    if (round_kind == 0) throw IoError(ENOSPC, "proof.drat");
    throw Panic("worker invariant broken");
}

}  // namespace

int main() {
    tl::Rng r{5};
    Cnf f;
    for (const auto& c : tl::random_3sat(r, 60, 260)) f.push(c);
    const Config base;
    // The started workers finish first, then the failure is reported.
    for (int at : {1, 0}) {
        testing::fail_spawn_at = at;
        std::string msg;
        try {
            solve_portfolio(60, f, nullptr, {base, base, base}, 0, false);
        } catch (const Panic& e) {
            msg = e.what();
        }
        CHECK(msg.rfind("failed to spawn thread", 0) == 0);
    }
    testing::fail_spawn_at = -1;

    testing::on_worker_start = fail_second;
    for (round_kind = 0; round_kind < 2; ++round_kind) {
        starts = 0;
        std::string what;
        int err = 0;
        try {
            solve_portfolio(60, f, nullptr, {base, base, base}, 0, false);
        } catch (const IoError& e) {
            what = e.path;
            err = e.err;
        } catch (const Panic& e) {
            what = e.what();
        }
        CHECK(round_kind == 0 ? what == "proof.drat" && err == ENOSPC : what == "worker invariant broken");
    }
    testing::on_worker_start = nullptr;
    auto again = solve_portfolio(60, f, nullptr, {base, base}, 0, true);
    CHECK(again.has_value() && again->worker < 2);
    return tl::finish("test_portfolio");
}
