// Preprocessor internals out of reach of the Python tests: growth refused
// with nothing changed, and units of both signs met by the elimination pass
// itself.
#include <new>
#include <utility>

#include "../../src/preprocess/preprocessor.hpp"
#include "check.hpp"

using nv::Preprocessor;
using tl::Clause;
using tl::Formula;

namespace {

void add(Preprocessor& p, const Clause& c) { p.add_clause(c.data(), c.size()); }

void test_growth_refused_changes_nothing() {
    Preprocessor p(2, true, 20, false);
    add(p, {0, 2});
    CHECK(tl::throws<std::bad_alloc>([&] { add(p, {1, 0xFFFFFFFEu}); }));
    CHECK(p.nvars() == 2 && p.num_slots() == 1 && p.consistent());
    add(p, {0, 1, 0xFFFFFFFEu});  // a tautology before the huge literal is fine
    CHECK(p.nvars() == 2 && p.num_slots() == 1);
}

void test_units_met_by_elimination() {
    // The empty resolvent refutes even after too many resolvents were kept,
    // unless a too-long resolvent came first.
    const std::pair<Formula, bool> cases[] = {
        {{{0}, {1}, {0, 2, 4}}, true},
        {{{0, 2, 4}, {0}, {1}}, false},
        {{{0, 2}, {0, 4}, {0}, {1, 6}, {1, 8}, {1}}, true},
    };
    for (const auto& [f, refutes] : cases) {
        Preprocessor p(5, true, f.size() > 3 ? 20 : 1, true);
        for (uint32_t v = 1; v < 5; ++v) p.freeze(v);
        for (const Clause& c : f) add(p, c);
        CHECK(p.eliminate_pass() == !refutes);
        CHECK(p.unsat() == refutes && p.stats().eliminated_vars == 0 && (p.proof().num_steps() == 0) == !refutes);
    }
}

}  // namespace

int main() {
    test_growth_refused_changes_nothing();
    test_units_met_by_elimination();
    return tl::finish("test_preprocess");
}
