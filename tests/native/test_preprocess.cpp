// Preprocessor internals out of reach of the Python tests: units of both signs met by the elimination
// pass itself, runs interrupted at every point the hook is polled, fed in batches that reactivate
// eliminated variables, and the stable ordering of the passes.
#include <algorithm>
#include <utility>

#include "../../src/checker/checker.hpp"
#include "../../src/preprocess/order.hpp"
#include "../../src/preprocess/preprocessor.hpp"
#include "check.hpp"

using nv::Preprocessor;
using tl::Clause;
using tl::Formula;

namespace {

void add(Preprocessor& p, const Clause& c) { p.add_clause(c.data(), c.size()); }

// A model of f over n variables, or an empty vector.
std::vector<bool> brute_model(const Formula& f, uint32_t n) {
    for (uint64_t bits = 0; bits < (uint64_t{1} << n); ++bits) {
        std::vector<bool> m(n);
        for (uint32_t v = 0; v < n; ++v) m[v] = (bits >> v) & 1;
        if (tl::satisfies(f, m)) return m;
    }
    return {};
}

// Three batches with freezes between them; every run is interrupted at its `fire`-th poll (1: the first;
// polling every unit of work) and run again to the end.  After each batch: the store is consistent, the
// reduced formula is satisfiable exactly when the input is, a model of it extends to one of the input,
// and the proof so far checks (without applying deletions once a variable was reactivated).  Returns
// whether any run was interrupted.
bool interrupted_batches(uint64_t seed, uint64_t fire) {
    tl::Rng r{seed};
    const uint32_t n = 4 + r.below(9);
    Preprocessor p(n, r.below(5) != 0, r.below(3) == 0 ? 2 : 20, true);
    Formula input;
    bool any = false;
    for (int batch = 0; batch < 3; ++batch) {
        if (batch > 0)
            for (uint32_t k = r.below(3); k > 0; --k) p.freeze(r.below(n));
        for (uint32_t k = 2 + r.below(4 * n); k > 0; --k) {
            Clause c;
            for (uint32_t len = 1 + r.below(4); len > 0; --len) c.push_back(r.below(2 * n));
            add(p, c);
            input.push_back(c);
        }
        tl::FireAt hook(fire);
        p.run(3, &hook, 1);
        any |= p.interrupted();
        p.run(3);
        CHECK(p.consistent() && !p.interrupted());
        nv::Cnf red = p.reduced();
        Formula reduced;
        for (size_t i = 0; i < red.size(); ++i) reduced.emplace_back(red[i].begin(), red[i].end());
        const std::vector<bool> truth = brute_model(input, n), model = brute_model(reduced, n);
        CHECK(truth.empty() == model.empty());
        if (!model.empty()) CHECK(tl::satisfies(input, p.reconstruct(model)));
        nv::CheckReport rep = nv::check_proof(n, tl::cnf_of(input), tl::steps_of(p.proof()), false,
                                              p.stats().reactivated == 0);
        CHECK(rep.failed_step == -1 && rep.ok == p.unsat());
    }
    return any;
}

void test_interrupted_runs_stay_sound() {
    for (uint64_t seed = 1; seed <= 300; ++seed)
        for (uint64_t fire = 1; interrupted_batches(seed, fire); fire += 1 + (fire - 1) / 8) {
        }
}

// The pass orders equal std::stable_sort's, by counting and by merging, and an interruption is reported.
void test_stable_order() {
    tl::Rng r{7};
    for (uint32_t n : {0u, 1u, 5u, 4095u, 4096u, 4097u, 10000u, 70000u}) {
        for (uint64_t range : {uint64_t{3}, uint64_t{1} << 20, uint64_t{1} << 40}) {
            std::vector<uint64_t> key(n);
            for (uint64_t& k : key) k = r.next() % range;
            std::vector<uint32_t> ids, tmp;
            for (uint32_t i = 0; i < n; ++i) ids.push_back(r.below(3) == 0 ? n - 1 - i : i);
            std::vector<uint32_t> want = ids;
            auto by_key = [&](uint32_t id) { return key[id]; };
            std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return key[a] < key[b]; });
            CHECK(nv::stable_order(ids, tmp, by_key, [](uint64_t) { return false; }) && ids == want);
            if (n > 4096) CHECK(!nv::stable_order(ids, tmp, by_key, [](uint64_t) { return true; }));
        }
    }
}

void test_units_met_by_elimination() {
    // The empty resolvent refutes even after too many resolvents were kept, unless a too-long one came first.
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
    test_units_met_by_elimination();
    test_interrupted_runs_stay_sound();
    test_stable_order();
    return tl::finish("test_preprocess");
}
