// Benchmark driver for instruction counts of the proof checker: reads a
// DIMACS CNF file and a text DRAT proof, converts both to the step-list form
// (as the Python binding does for lists), checks the proof and prints the
// check's CPU seconds, the verdict and the counters.  Only the interface
// that every version of the checker has is used, so one driver builds
// against an older tree too (copy it into that tree's bench/).
//
//   g++ -std=c++20 -O2 -g -I src src/core/*.cpp src/checker/*.cpp bench/checker_driver.cpp -o /tmp/cd
//   valgrind --tool=callgrind --toggle-collect='run_check*' /tmp/cd f.cnf f.drat
#include <cctype>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "../src/checker/checker.hpp"

namespace {

std::string slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Whitespace-separated tokens; "c ..." lines skipped; "p cnf V C" read.
template <class F>
void tokens(const std::string& s, F&& f) {
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i == s.size()) break;
        size_t j = i;
        while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
        std::string t = s.substr(i, j - i);
        if (t == "c" || t == "%") {
            while (j < s.size() && s[j] != '\n') ++j;
        } else {
            f(t);
        }
        i = j;
    }
}

}  // namespace

__attribute__((noinline)) nv::CheckReport run_check(uint32_t nvars, const nv::Cnf& cnf, const nv::StepList& steps) {
    return nv::check_proof(nvars, cnf, steps, true, true);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE.cnf PROOF.drat\n", argv[0]);
        return 2;
    }
    uint32_t nvars = 0;
    nv::Cnf cnf;
    int header = 0;
    tokens(slurp(argv[1]), [&](const std::string& t) {
        if (t == "p") {
            header = 3;
            return;
        }
        if (header > 0) {
            if (header-- == 2) nvars = static_cast<uint32_t>(std::stoul(t));
            return;
        }
        int32_t d = std::stoi(t);
        if (d == 0) {
            cnf.close();
        } else {
            cnf.lits.push_back(nv::from_dimacs(d));
        }
    });
    nv::StepList steps;
    bool del = false;
    tokens(slurp(argv[2]), [&](const std::string& t) {
        if (t == "d") {
            del = true;
            return;
        }
        int32_t d = std::stoi(t);
        if (d == 0) {
            steps.clauses.close();
            steps.is_deletion.push_back(del);
            del = false;
        } else {
            steps.clauses.lits.push_back(nv::from_dimacs(d));
        }
    });
    const std::clock_t t0 = std::clock();
    nv::CheckReport r = run_check(nvars, cnf, steps);
    const double cpu = static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    std::printf("%.4f %d '%s' %llu %llu %llu %llu %llu %llu %lld %d\n", cpu, r.ok, r.message.c_str(),
                static_cast<unsigned long long>(r.steps), static_cast<unsigned long long>(r.rup),
                static_cast<unsigned long long>(r.rat), static_cast<unsigned long long>(r.deleted),
                static_cast<unsigned long long>(r.skipped), static_cast<unsigned long long>(r.rat_checks),
                static_cast<long long>(r.failed_step), r.empty_derived);
    return 0;
}
