// Portfolio failure path out of reach of the Python tests: a worker thread
// that cannot start.
#include <string>

#include "../../src/core/errors.hpp"
#include "../../src/portfolio/portfolio.hpp"
#include "check.hpp"

using namespace nv;

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
    auto again = solve_portfolio(60, f, nullptr, {base, base}, 0, true);
    CHECK(again.has_value() && again->worker < 2);
    return tl::finish("test_portfolio");
}
