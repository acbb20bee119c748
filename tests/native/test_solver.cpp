// Solver internals out of reach of the Python tests: ties in the reduction ranking, the watch-invariant
// report on corrupted state, and propagation under assumptions over a level-0 literal a stopped search
// left unpropagated.
#include <string>
#include <tuple>

#include "../../src/solver/state.hpp"
#include "check.hpp"

using namespace nv;

namespace {

Lit P(uint32_t v) { return mk_lit(v, false); }
Lit N(uint32_t v) { return mk_lit(v, true); }

bool add(Solver& s, std::initializer_list<Lit> c) { return s.add_clause(c.begin(), c.size()); }

void test_propagate_after_unpropagated_unit() {
    Solver s(4, Config{});
    add(s, {N(0), P(1)});
    add(s, {N(1), N(2), P(3)});
    auto* st = s.internals();
    st->enqueue(P(0), NO_REASON);  // as if a search had stopped before propagating it
    std::vector<Lit> implied;
    const Lit two[] = {P(2)};
    CHECK(s.propagate(two, implied) && (implied == std::vector<Lit>{P(1), P(2), P(3)}));
    CHECK(st->qhead == 0 && st->vals[P(1)] == 0 && st->trail.size() == 1);
}

// Reduction ranks by higher glue, then lower activity, ties in list order,
// and deletes the first half; locked clauses and a lone candidate stay.
void test_reduce_ranking() {
    Solver s(12, Config{.glue_keep = 2});
    add(s, {P(0), P(1)});
    auto* st = s.internals();
    const std::tuple<uint32_t, double, uint32_t> learned[] = {  // glue, activity, length
        {2, 0.0, 3}, {5, 3.0, 3}, {4, 1.0, 4}, {5, 1.0, 2}, {5, 3.0, 3}, {3, 0.5, 3}, {5, 2.0, 3}, {6, 9.0, 3}};
    for (uint32_t i = 0; i < 8; ++i) {
        auto [glue, activity, len] = learned[i];
        std::vector<Lit> lits;
        for (uint32_t k = 0; k < len; ++k) lits.push_back(P(2 + (i + k) % 10));
        st->learnts.push_back(st->store_clause(lits.data(), lits.size(), true, glue, activity));
        st->attach(st->learnts.back());
    }
    // Candidates (learned clause: glue, activity) 1:(5,3) 2:(4,1) 4:(5,3) 5:(3,.5) 6:(5,2) 7:(6,9) rank 7, 6, 1, 4,
    // 2, 5.  Learned clause i is told by its first literal, P(2 + i).
    auto kept = [&] {
        std::vector<uint32_t> ids;
        for (CRef c : st->learnts) ids.push_back(var_of(st->lits_of(c)[0]) - 2);
        return ids;
    };
    st->reduce_db();
    CHECK((kept() == std::vector<uint32_t>{0, 2, 3, 4, 5}) && st->stats.deleted == 3);
    st->enqueue(st->lits_of(st->learnts[3])[0], st->learnts[3]);  // learned clause 4 (glue 5) is now a reason
    st->reduce_db();
    CHECK(st->stats.deleted == 4 && (kept() == std::vector<uint32_t>{0, 3, 4, 5}));
    st->reduce_db();
    CHECK(st->stats.deleted == 4 && s.check_watch_invariant().empty());
}

void test_invariant_report() {
    Solver s(4, Config{});
    add(s, {P(0), P(1), P(2)});
    add(s, {P(1), P(2), P(3)});
    add(s, {P(0), P(3)});
    auto* st = s.internals();
    CHECK(s.check_watch_invariant().empty());
    CRef c0 = st->problem[0], c1 = st->problem[1], c2 = st->problem[2];
    st->arena[c0 + 1] |= 2u;  // marked deleted, still watched
    auto p = s.check_watch_invariant();
    CHECK(p.size() == 2 && p[0] == "deleted clause still watched by " + std::to_string(N(0)));
    st->arena[c0 + 1] &= ~2u;
    st->watches[N(3)].push_back(Watch{c1, P(1)});
    p = s.check_watch_invariant();
    const std::string n1 = std::to_string(c1), in_w3 = " in watches[" + std::to_string(N(3)) + "] ";
    CHECK(p.size() == 2 && p[0] == "clause " + n1 + in_w3 + "does not watch it" &&
          p[1] == "clause " + n1 + " has 3 watchers, want 2");
    st->watches[N(3)].pop_back();
    st->watches[N(3)].back().ref &= ~Watch::BINARY;  // the two-literal clause, unmarked
    p = s.check_watch_invariant();
    CHECK(p.size() == 1 && p[0] == "clause " + std::to_string(c2) + in_w3 + "has a wrong two-literal mark");
    st->watches[N(3)].push_back(Watch{static_cast<CRef>(st->arena.size()), P(1)});
    CHECK(tl::throws<Panic>([&] { s.check_watch_invariant(); }));
}

}  // namespace

int main() {
    test_propagate_after_unpropagated_unit();
    test_invariant_report();
    test_reduce_ranking();
    return tl::finish("test_solver");
}
