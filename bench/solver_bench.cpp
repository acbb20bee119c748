// Benchmark driver: reads DIMACS CNF on stdin, solves with the default
// configuration, checks a model against the formula and prints one line:
//   result seconds propagations props_per_second conflicts decisions
// Build and run: g++ -std=c++20 -O2 src/core/*.cpp src/solver/*.cpp bench/solver_bench.cpp -o /tmp/sb && /tmp/sb [--proof] < f.cnf
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "../src/solver/solver.hpp"

int main(int argc, char** argv) {
    bool proof = argc > 1 && std::string(argv[1]) == "--proof";
    std::vector<std::vector<nv::Lit>> cnf;
    std::vector<nv::Lit> cur;
    std::string tok;
    uint32_t nvars = 0;
    while (std::cin >> tok) {
        if (tok == "c") {
            std::getline(std::cin, tok);
            continue;
        }
        if (tok == "p") {
            std::string fmt;
            long long nv = 0, nc = 0;
            std::cin >> fmt >> nv >> nc;
            nvars = static_cast<uint32_t>(nv);
            continue;
        }
        if (tok == "%") break;
        int32_t d = std::stoi(tok);
        if (d == 0) {
            cnf.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(nv::from_dimacs(d));
        }
    }
    auto t0 = std::chrono::steady_clock::now();
    nv::Solver s(nvars, nv::Config{});
    if (proof) s.enable_proof();
    for (auto& c : cnf)
        if (!s.add_clause(c.data(), c.size())) break;
    nv::SolveResult r = s.solve(std::nullopt);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r == nv::SolveResult::Sat) {
        const auto& m = s.model();
        for (auto& c : cnf) {
            bool sat = false;
            for (nv::Lit l : c)
                if (m[nv::var_of(l)] != nv::is_neg(l)) sat = true;
            if (!sat) {
                std::printf("MODEL-WRONG\n");
                return 1;
            }
        }
    }
    const nv::Stats& st = s.stats();
    std::printf("%s %.3f %llu %.0f %llu %llu\n",
                r == nv::SolveResult::Sat ? "SAT" : r == nv::SolveResult::Unsat ? "UNSAT" : "UNKNOWN", secs,
                (unsigned long long)st.propagations, st.propagations / secs, (unsigned long long)st.conflicts,
                (unsigned long long)st.decisions);
    return 0;
}
