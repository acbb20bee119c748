// Adding clauses to a ClauseArena (arena.hpp): duplicate literals dropped
// and tautologies refused by a scan of the clause stored so far, which is
// short; near the size limit the kept literals are counted first, so that an
// overflow leaves the arena unchanged.  add_distinct and append skip the scan
// for clauses already known to be clean.
#include "arena.hpp"

#include <string>

#include "errors.hpp"

namespace nv {

bool ClauseArena::add(std::span<const Lit> clause) {
    const size_t start = lits_.size();
    if (start + clause.size() > max_lits_) {
        // Near the limit: find out what would be kept before touching
        // anything, so that an overflow leaves the arena as it was.
        std::vector<Lit> kept;
        for (Lit l : clause) {
            bool dup = false;
            for (Lit k : kept) {
                if (k == l) dup = true;
                if ((k ^ l) == 1u) {
                    // A tautology stores nothing; the literals before the
                    // complementary pair still count for num_vars.
                    for (Lit x : kept) note_var(x);
                    return false;
                }
            }
            if (!dup) kept.push_back(l);
        }
        if (start + kept.size() > max_lits_) {
            throw OverflowError("clause arena is full: it holds at most " + std::to_string(max_lits_) + " literals");
        }
    }
    try {
        for (Lit l : clause) {
            bool dup = false;
            for (size_t i = start; i < lits_.size(); ++i) {
                Lit k = lits_[i];
                if (k == l) {
                    dup = true;
                    break;
                }
                if ((k ^ l) == 1u) {
                    lits_.truncate(start);
                    return false;
                }
            }
            if (dup) continue;
            lits_.push(l);
            note_var(l);
        }
    } catch (...) {
        lits_.truncate(start);
        throw;
    }
    // starts and lens must stay in step even if the second append fails.
    starts_.push(static_cast<uint32_t>(start));
    try {
        lens_.push(static_cast<uint32_t>(lits_.size() - start));
    } catch (...) {
        starts_.truncate(starts_.size() - 1);
        lits_.truncate(start);
        throw;
    }
    return true;
}

void ClauseArena::add_distinct(std::span<const Lit> clause) {
    const size_t start = lits_.size();
    if (start + clause.size() > max_lits_) {
        throw OverflowError("clause arena is full: it holds at most " + std::to_string(max_lits_) + " literals");
    }
    try {
        for (Lit l : clause) lits_.push(l);
        starts_.push(static_cast<uint32_t>(start));
        try {
            lens_.push(static_cast<uint32_t>(clause.size()));
        } catch (...) {
            starts_.truncate(starts_.size() - 1);
            throw;
        }
    } catch (...) {
        lits_.truncate(start);
        throw;
    }
    for (Lit l : clause) note_var(l);
}

void ClauseArena::append(const ClauseArena& more) {
    const size_t lits = lits_.size(), clauses = starts_.size();
    const uint32_t vars = num_vars_;
    if (lits + more.num_lits() > max_lits_) {
        throw OverflowError("clause arena is full: it holds at most " + std::to_string(max_lits_) + " literals");
    }
    try {
        for (size_t i = 0; i < more.num_clauses(); ++i) add_distinct(more.clause(i));
    } catch (...) {
        lits_.truncate(lits);
        starts_.truncate(clauses);
        lens_.truncate(clauses);
        num_vars_ = vars;
        throw;
    }
    note_num_vars(more.num_vars());
}

}  // namespace nv
