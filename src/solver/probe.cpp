// Unit propagation of given literals on top of level 0, leaving no trace.
//
// The search's own propagation (propagate.cpp) moves watches between lists and
// reorders clause literals, which would change what a later search does.  This
// one only reads the watch lists and clauses: a clause reached through one of
// its two watches is scanned whole, and while it still has two unassigned
// literals the ones that are not its watches are noted in a side list, so that
// the clause is looked at again when one of them becomes false (each clause
// and literal noted once, so the side lists hold at most one entry per
// literal occurrence however often a long clause is revisited).  Assignments
// are made in `vals` only (no level, reason, trail, statistics, phases or
// heap) and undone before returning, so that the solver is exactly as before
// apart from the backtrack to level 0.  Level-0 literals a stopped search left
// unpropagated are propagated first (what they imply is then listed too).
#include <unordered_map>
#include <unordered_set>

#include "state.hpp"

namespace nv {

bool Solver::State::probe(std::span<const Lit> lits, std::vector<Lit>& implied) {
    implied.clear();
    if (!ok) return false;
    cancel_until(0);

    // Undoes the assignments however the call ends.
    struct Undo {
        State& s;
        std::vector<Lit>& lits;
        ~Undo() {
            for (Lit l : lits) {
                if (var_of(l) >= s.nvars) continue;
                s.vals[l] = 0;
                s.vals[neg(l)] = 0;
            }
        }
    } undo{*this, implied};

    // Variables the solver lacks occur in no clause: their literals are only
    // compared with one another.
    std::unordered_map<uint32_t, Lit> outside;
    // Per literal: clauses to look at again when it becomes true.
    std::unordered_map<Lit, std::vector<CRef>> side;
    std::unordered_set<uint64_t> noted;  // (clause, literal) pairs already in `side`

    auto assign = [&](Lit l) {
        implied.push_back(l);
        vals[l] = 1;
        vals[neg(l)] = 2;
    };
    // Looks at a clause one of whose literals has become false; false when
    // every literal is false.
    auto visit = [&](CRef ci) {
        const Lit* cl = lits_of(ci);
        const uint32_t len = len_of(ci);
        Lit open[2];
        int n = 0;
        for (uint32_t k = 0; k < len && n < 2; ++k) {
            uint8_t v = vals[cl[k]];
            if (v == 1) return true;
            if (v == 0) open[n++] = cl[k];
        }
        if (n == 0) return false;
        if (n == 1) {
            assign(open[0]);
            return true;
        }
        for (Lit u : open)
            if (u != cl[0] && u != cl[1] && noted.insert((uint64_t{ci} << 32) | u).second)
                side[neg(u)].push_back(ci);
        return true;
    };

    // Visits the clauses that the truth of p may have made unit; false on a conflict.
    auto spread = [&](Lit p) {
        for (const Watch& w : watches[p]) {
            if (vals[w.blocker] == 1) continue;
            if (!visit(w.cref())) return false;
        }
        auto it = side.find(p);
        if (it == side.end()) return true;
        // New entries never go to p's own list (p is true); other lists may
        // grow meanwhile, which leaves this one where it is.
        std::vector<CRef>& again = it->second;
        for (size_t k = 0; k < again.size(); ++k)
            if (!visit(again[k])) return false;
        return true;
    };
    size_t head = 0;
    auto drain = [&] {
        while (head < implied.size()) {
            Lit p = implied[head++];
            if (var_of(p) < nvars && !spread(p)) return false;
        }
        return true;
    };

    for (size_t i = qhead; i < trail.size(); ++i)
        if (!spread(trail[i])) return false;
    if (!drain()) return false;
    for (Lit a : lits) {
        if (var_of(a) >= nvars) {
            auto [it, fresh] = outside.try_emplace(var_of(a), a);
            if (fresh)
                implied.push_back(a);
            else if (it->second != a)
                return false;
            continue;
        }
        if (vals[a] == 1) continue;
        if (vals[a] == 2) return false;
        assign(a);
        if (!drain()) return false;
    }
    return true;
}

}  // namespace nv
