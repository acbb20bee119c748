// Shared by the native test programs: CHECK counts a failure and carries on (main ends with
// `return tl::finish("name");`); fixed-seed random formulas, model and proof helpers, an interrupt hook.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "../../src/core/cnf.hpp"
#include "../../src/core/interrupt.hpp"
#include "../../src/core/lit.hpp"
#include "../../src/core/proof_log.hpp"

namespace tl {

inline int failures = 0;

inline int finish(const char* name) {
    std::printf("%s: %d failed check(s)\n", name, failures);
    return failures == 0 ? 0 : 1;
}

template <class E, class F>
bool throws(F f) {
    try {
        f();
    } catch (const E&) {
        return true;
    }
    return false;
}

// splitmix64: fixed seeds, so every run tests the same cases.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

using Clause = std::vector<nv::Lit>;
using Formula = std::vector<Clause>;

// Random 3-SAT over distinct variables per clause.
inline Formula random_3sat(uint64_t seed, uint32_t nvars, uint32_t nclauses) {
    Rng r{seed};
    Formula f;
    while (f.size() < nclauses) {
        Clause c;
        while (c.size() < 3) {
            nv::Lit l = nv::mk_lit(r.below(nvars), r.below(2) != 0);
            bool dup = false;
            for (nv::Lit x : c) dup |= nv::var_of(x) == nv::var_of(l);
            if (!dup) c.push_back(l);
        }
        f.push_back(c);
    }
    return f;
}

inline nv::Cnf cnf_of(const Formula& f) {
    nv::Cnf out;
    for (const Clause& c : f) out.push(c);
    return out;
}

inline bool satisfies(const Formula& f, const std::vector<bool>& m) {
    for (const Clause& c : f) {
        bool sat = false;
        for (nv::Lit l : c) sat |= nv::var_of(l) < m.size() && m[nv::var_of(l)] != nv::is_neg(l);
        if (!sat) return false;
    }
    return true;
}

inline nv::StepList steps_of(const nv::ProofLog& log) {
    nv::StepList out;
    log.for_each([&](bool del, std::span<const nv::Lit> c) {
        out.clauses.push(c);
        out.is_deletion.push_back(del);
    });
    return out;
}

// Fires from its `at`-th poll on (0: never); counts its polls.
struct FireAt final : nv::Interrupt {
    uint64_t at, polls = 0;
    explicit FireAt(uint64_t a) : at(a) {}
    bool pending() noexcept override { return ++polls >= at && at != 0; }
};

}  // namespace tl

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond) && ++tl::failures <= 50) std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
    } while (0)
