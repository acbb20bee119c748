// Helpers for the solver tests: a deterministic generator, random formulas,
// brute force, model checks and a naive forward RUP proof checker.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../../src/solver/solver.hpp"

namespace tl {

using Clause = std::vector<nv::Lit>;
using Formula = std::vector<Clause>;

extern int failures;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            ++tl::failures;                                                          \
            if (tl::failures <= 50) std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                            \
    } while (0)

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

// Mixed clause lengths 1..4 with the odd duplicate or tautology.
inline Formula random_formula(Rng& r, uint32_t nvars, uint32_t nclauses) {
    Formula f;
    for (uint32_t i = 0; i < nclauses; ++i) {
        uint32_t len = 1 + r.below(100) / 8;  // mostly 3 and 4, sometimes shorter
        if (len > 4) len = 3;
        Clause c;
        for (uint32_t k = 0; k < len; ++k) c.push_back(nv::mk_lit(r.below(nvars), r.below(2) != 0));
        f.push_back(c);
    }
    return f;
}

inline Formula random_3sat(Rng& r, uint32_t nvars, uint32_t nclauses) {
    Formula f;
    for (uint32_t i = 0; i < nclauses; ++i) {
        Clause c;
        while (c.size() < 3) {
            uint32_t v = r.below(nvars);
            bool dup = false;
            for (nv::Lit l : c) dup |= nv::var_of(l) == v;
            if (!dup) c.push_back(nv::mk_lit(v, r.below(2) != 0));
        }
        f.push_back(c);
    }
    return f;
}

// Pigeonhole: n+1 pigeons, n holes.
inline Formula php(uint32_t n) {
    Formula f;
    auto x = [n](uint32_t p, uint32_t h) { return p * n + h; };
    for (uint32_t p = 0; p <= n; ++p) {
        Clause c;
        for (uint32_t h = 0; h < n; ++h) c.push_back(nv::mk_lit(x(p, h), false));
        f.push_back(c);
    }
    for (uint32_t h = 0; h < n; ++h)
        for (uint32_t p = 0; p <= n; ++p)
            for (uint32_t q = p + 1; q <= n; ++q) f.push_back({nv::mk_lit(x(p, h), true), nv::mk_lit(x(q, h), true)});
    return f;
}

inline bool satisfies(const Formula& f, const std::vector<bool>& m) {
    for (const Clause& c : f) {
        bool sat = false;
        for (nv::Lit l : c)
            if (nv::var_of(l) < m.size() && m[nv::var_of(l)] != nv::is_neg(l)) sat = true;
        if (!sat) return false;
    }
    return true;
}

inline bool brute_force_sat(const Formula& f, uint32_t nvars) {
    std::vector<std::pair<uint32_t, uint32_t>> masks;  // (positive, negative) bits
    for (const Clause& c : f) {
        uint32_t p = 0, n = 0;
        for (nv::Lit l : c) (nv::is_neg(l) ? n : p) |= 1u << nv::var_of(l);
        masks.push_back({p, n});
    }
    for (uint32_t a = 0; a < (1u << nvars); ++a) {
        bool all = true;
        for (auto& [p, n] : masks)
            if (!((a & p) || (~a & n))) {
                all = false;
                break;
            }
        if (all) return true;
    }
    return false;
}

// Naive forward RUP check of a solver proof against the formula: every
// addition must follow by unit propagation from the clauses present at that
// point (formula + additions - deletions); with `want_empty`, the last step
// must be the empty clause.  Returns "" or a description of the first fault.
inline std::string rup_check(const Formula& f, uint32_t nvars, const std::vector<nv::ProofStep>& proof,
                             bool want_empty) {
    std::vector<Clause> db;
    std::vector<bool> alive;
    for (const Clause& c : f) {
        Clause s = c;
        std::sort(s.begin(), s.end());
        s.erase(std::unique(s.begin(), s.end()), s.end());
        db.push_back(s);
        alive.push_back(true);
    }
    std::vector<int8_t> val(2 * static_cast<size_t>(nvars), 0);
    auto rup = [&](const Clause& c) {
        std::fill(val.begin(), val.end(), 0);
        for (nv::Lit l : c) {
            if (val[l] == 1) return true;  // tautology
            val[l] = -1;
            val[nv::neg(l)] = 1;
        }
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t i = 0; i < db.size(); ++i) {
                if (!alive[i]) continue;
                int unassigned = 0;
                nv::Lit last = 0;
                bool sat = false;
                for (nv::Lit l : db[i]) {
                    if (val[l] == 1) {
                        sat = true;
                        break;
                    }
                    if (val[l] == 0) {
                        ++unassigned;
                        last = l;
                    }
                }
                if (sat) continue;
                if (unassigned == 0) return true;
                if (unassigned == 1) {
                    val[last] = 1;
                    val[nv::neg(last)] = -1;
                    changed = true;
                }
            }
        }
        return false;
    };
    for (size_t k = 0; k < proof.size(); ++k) {
        Clause s = proof[k].lits;
        for (nv::Lit l : s)
            if (nv::var_of(l) >= nvars) return "step " + std::to_string(k) + " names an unknown variable";
        std::sort(s.begin(), s.end());
        if (proof[k].is_deletion) {
            for (size_t i = 0; i < db.size(); ++i)
                if (alive[i] && db[i] == s) {
                    alive[i] = false;
                    break;
                }
            continue;
        }
        if (!rup(s)) return "step " + std::to_string(k) + " is not RUP";
        db.push_back(s);
        alive.push_back(true);
    }
    if (want_empty && (proof.empty() || proof.back().is_deletion || !proof.back().lits.empty()))
        return "proof does not end with the empty clause";
    return "";
}

}  // namespace tl
