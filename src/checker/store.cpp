// The checker's clause store: insertion, lookup and removal by literal set,
// compaction, the RUP test and unit propagation in its two modes.
//
// Clauses lie in one word array (header, then literals) and are named by the
// position of their header.  Two watches per clause of two or more
// literals; a watch carries a blocking literal, and for a binary clause the
// other literal, so that many visits never read the clause.  Deleted
// clauses leave their words behind until they make up half of the array;
// compaction then moves the live ones down, in order, and rewrites every
// reference (watches, index, occurrence lists).  The index hashes a clause's
// set of literals (an order-free sum, repetitions counted once) and compares
// sets with per-literal stamps, so no key vector is ever built; it holds one
// entry per set, the latest live clause, and a side map links each clause to
// the earlier live clause with its set (a stack, as deletions always take
// the latest), which keeps repeated clauses from piling up in the table.  The rules
// that decide what is inserted and removed are in check.cpp.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "../core/errors.hpp"
#include "../core/memory.hpp"
#include "checker.hpp"

namespace nv {

namespace {

// Bytes one variable costs in the per-literal tables: two literals, each with
// a value byte, a stamp, a watch list header and an occurrence list header,
// plus one trail entry.
constexpr uint64_t kBytesPerVar =
    2 * (sizeof(uint8_t) + sizeof(uint32_t) + sizeof(std::vector<CheckWatch>) + sizeof(std::vector<uint32_t>)) +
    sizeof(Lit);

// Literals have variables below 2^31, so tables never need more than this.
constexpr uint64_t kMaxLiteralVars = uint64_t{1} << 31;

// Compaction starts once deleted clauses hold this many words and more than
// half of the store.
constexpr uint64_t kMinGarbage = uint64_t{1} << 16;

uint64_t mix(uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void remove_watch(std::vector<CheckWatch>& list, uint32_t ref) {
    for (CheckWatch& w : list) {
        if (w.ref == ref) {
            w = list.back();
            list.pop_back();
            return;
        }
    }
    throw Panic("checker: watch entry of a live clause is missing");
}

}  // namespace

// ---------------------------------------------------------------------------
// Propagation

bool Prop::propagate(size_t start) { return exact ? propagate_in<true>(start) : propagate_in<false>(start); }

template <bool Exact>
bool Prop::propagate_in(size_t start) {
    // None of these tables changes size while propagating (the trail has
    // room for every variable); local copies of their data pointers keep the
    // value writes from forcing reloads.
    uint8_t* const val = vals.data();
    uint32_t* const m = mem.data();
    std::vector<CheckWatch>* const wl = watches.data();
    size_t head = start;
    while (head < trail.size()) {
        const Lit L = trail[head++];
        const Lit F = neg(L);
        std::vector<CheckWatch>& ws = wl[L];
        CheckWatch* const w = ws.data();
        const size_t n = ws.size();
        if (poll && poll->tick(static_cast<unsigned>(std::min<size_t>(n, 1u << 20)) + 1)) throw Interrupted{};
        size_t i = 0, j = 0;
        while (i < n) {
            const CheckWatch cur = w[i++];
            // Most visits that read a clause miss the cache: start loading
            // the next one meanwhile.
            if (!Exact && i < n) __builtin_prefetch(m + (w[i].ref & ~CheckWatch::kBinary));
            // The exact mode reads every clause its fixed order reaches: a
            // blocking literal other than the second watch would skip a
            // visit that moves a watch.
            if (!Exact && val[cur.blocker] == kTrue) {
                w[j++] = cur;
                continue;
            }
            if (cur.ref & CheckWatch::kBinary) {
                // Both literals are watched for good: keep the entry, and the
                // other literal is true, false (conflict) or now implied.
                w[j++] = cur;
                const uint8_t v = val[cur.blocker];
                if (v == kTrue) continue;
                if (v == kFalse) {
                    while (i < n) w[j++] = w[i++];
                    ws.resize(j);
                    return true;
                }
                val[cur.blocker] = kTrue;
                val[neg(cur.blocker)] = kFalse;
                trail.push_back(cur.blocker);
                continue;
            }
            uint32_t* const hdr = m + cur.ref;
            const uint32_t size = *hdr;  // live: no deleted bit
            Lit* const c = hdr + Prop::kHeader;
            assert(in_store(cur.ref) && size >= 2 && (c[0] == F || c[1] == F));
            if (c[0] == F) {
                c[0] = c[1];
                c[1] = F;
            }
            const Lit first = c[0];
            if (val[first] == kTrue) {
                w[j++] = CheckWatch{first, cur.ref};
                continue;
            }
            // The search for a new watch: from position 2 in the exact
            // mode; in the fast mode from where the last search succeeded,
            // round to where it began, which spreads the work over the
            // clause.  A repeat of c[0] is no second watch: skipping it keeps
            // a clause such as [a, a, b] from ending up watched twice on a.
            uint32_t k = Exact ? 2 : hdr[1];
            const uint32_t begin = k;
            while (k < size && (val[c[k]] == kFalse || c[k] == first)) ++k;
            if (!Exact && k == size) {
                k = 2;
                while (k < begin && (val[c[k]] == kFalse || c[k] == first)) ++k;
                if (k == begin) k = size;
            }
            if (k < size) {
                // New watch: never the list being walked, as c[k] is not false.
                if (!Exact) hdr[1] = k;
                c[1] = c[k];
                c[k] = F;
                wl[neg(c[1])].push_back(CheckWatch{first, cur.ref});
                continue;
            }
            w[j++] = CheckWatch{first, cur.ref};
            if (val[first] == kFalse) {
                while (i < n) w[j++] = w[i++];
                ws.resize(j);
                return true;
            }
            val[first] = kTrue;
            val[neg(first)] = kFalse;
            trail.push_back(first);
        }
        ws.resize(j);
    }
    return false;
}

template bool Prop::propagate_in<true>(size_t);
template bool Prop::propagate_in<false>(size_t);

// ---------------------------------------------------------------------------
// Tables

Checker::Checker(uint32_t n, bool rat, bool deletions, bool exact) : check_rat(rat), apply_deletions(deletions) {
    prop.exact = exact;
    reserve_vars(n);
    const uint64_t lits = 2 * uint64_t{n};
    prop.vals.resize(lits, Prop::kUnassigned);
    prop.watches.resize(lits);
    stamp_.resize(lits, 0);
    nvars = n;
}

void Checker::reserve_vars(uint64_t vars) {
    if (vars <= table_vars_) return;
    uint64_t cap = std::max(vars, std::min(kMaxLiteralVars, table_vars_ + table_vars_ / 2));
    try {
        ensure_fits(cap, kBytesPerVar);
    } catch (const std::bad_alloc&) {
        if (cap == vars) throw;
        cap = vars;
        ensure_fits(cap, kBytesPerVar);
    }
    const uint64_t lits = 2 * cap;
    prop.vals.reserve(lits);
    prop.watches.reserve(lits);
    prop.trail.reserve(cap);  // each variable is on the trail at most once
    stamp_.reserve(lits);
    if (occs_built_) occs_.reserve(lits);
    table_vars_ = cap;
}

void Checker::grow(std::span<const Lit> lits) {
    uint64_t m = 0;
    for (Lit l : lits) m = std::max<uint64_t>(m, uint64_t{var_of(l)} + 1);
    if (m <= nvars) return;
    reserve_vars(m);
    const uint64_t n = 2 * m;
    prop.vals.resize(n, Prop::kUnassigned);
    prop.watches.resize(n);
    stamp_.resize(n, 0);
    if (occs_built_) occs_.resize(n);
    nvars = static_cast<uint32_t>(m);
}

uint32_t Checker::next_stamp(uint32_t width) {
    if (stamp_now_ > UINT32_MAX - width) {
        std::fill(stamp_.begin(), stamp_.end(), 0);
        stamp_now_ = 0;
    }
    const uint32_t s = stamp_now_ + 1;
    stamp_now_ += width;
    return s;
}

uint32_t Checker::mark_set(std::span<const Lit> lits, uint32_t& stamp, size_t& distinct) {
    // Stamp s marks the members; s + 1 is kept free for same_set.
    const uint32_t s = next_stamp(2);
    uint64_t sum = 0;
    size_t d = 0;
    for (Lit l : lits) {
        if (stamp_[l] == s) continue;
        stamp_[l] = s;
        sum += mix(uint64_t{l} + 0x9E3779B97F4A7C15ull);
        ++d;
    }
    stamp = s;
    distinct = d;
    const uint64_t h = mix(sum ^ (uint64_t{d} << 40));
    return static_cast<uint32_t>(h ^ (h >> 32));
}

bool Checker::same_set(uint32_t ref, uint32_t s, size_t distinct) {
    const std::span<const Lit> c = prop.lits(ref);
    if (c.size() < distinct) return false;
    bool ok = true;
    size_t seen = 0;
    for (Lit l : c) {
        const uint32_t st = stamp_[l];
        if (st == s) {
            stamp_[l] = s + 1;
            ++seen;
        } else if (st != s + 1) {
            ok = false;
            break;
        }
    }
    for (Lit l : c)
        if (stamp_[l] == s + 1) stamp_[l] = s;
    return ok && seen == distinct;
}

// ---------------------------------------------------------------------------
// Clause store

uint32_t Checker::insert(std::span<const Lit> lits) {
    grow(lits);
    const size_t n = lits.size();
    if (n + Prop::kHeader > Prop::kMaxRef - prop.mem.size()) {
        compact();
        if (n + Prop::kHeader > Prop::kMaxRef - prop.mem.size()) throw std::length_error("checker: too many clause literals");
    }
    uint32_t s;
    size_t distinct;
    const uint32_t hash = mark_set(lits, s, distinct);
    const uint32_t ref = static_cast<uint32_t>(prop.mem.size());
    prop.mem.push_back(static_cast<uint32_t>(n));
    prop.mem.push_back(2);
    prop.mem.insert(prop.mem.end(), lits.begin(), lits.end());
    Lit* const c = prop.mem.data() + ref + Prop::kHeader;
    if (n >= 2) {
        // Two equal literals in front would watch one literal twice and the
        // clause could never propagate: bring the first different literal
        // forward into the second watch.
        if (c[0] == c[1]) {
            for (size_t i = 2; i < n; ++i) {
                if (c[i] != c[0]) {
                    std::swap(c[1], c[i]);
                    break;
                }
            }
        }
        const uint32_t tagged = n == 2 ? ref | CheckWatch::kBinary : ref;
        prop.watches[neg(c[0])].push_back(CheckWatch{c[1], tagged});
        prop.watches[neg(c[1])].push_back(CheckWatch{c[0], tagged});
    }
    // A clause made of one literal, however often repeated, is a unit.
    if (n >= 1 && distinct == 1) prop.unit_lits.push_back(lits[0]);
    // The index names the latest clause of each set; an earlier live clause
    // with the same set waits underneath it.
    int64_t same = -1;
    index_.for_each_match(hash, [&](size_t pos, uint32_t other) {
        if (same < 0 && same_set(other, s, distinct)) same = static_cast<int64_t>(pos);
    });
    if (same < 0) {
        index_.insert(hash, ref);
    } else {
        below_.emplace(ref, index_.at(static_cast<size_t>(same)));
        index_.set_at(static_cast<size_t>(same), ref);
    }
    if (occs_built_)
        for (size_t i = 0; i < n; ++i) occs_[c[i]].push_back(ref);
    return ref;
}

int64_t Checker::find(std::span<const Lit> lits) {
    uint32_t s;
    size_t distinct;
    const uint32_t hash = mark_set(lits, s, distinct);
    int64_t found = -1;
    index_.for_each_match(hash, [&](size_t pos, uint32_t ref) {
        if (found < 0 && same_set(ref, s, distinct)) found = static_cast<int64_t>(pos);
    });
    return found;
}

uint32_t Checker::ref_at(size_t pos) const noexcept { return index_.at(pos); }

void Checker::remove(size_t pos) {
    const uint32_t ref = index_.at(pos);
    const auto under = below_.find(ref);
    if (under == below_.end()) {
        index_.erase_at(pos);
    } else {
        index_.set_at(pos, under->second);
        below_.erase(under);
    }
    const std::span<const Lit> c = prop.lits(ref);
    if (c.size() >= 2) {
        const uint32_t tagged = c.size() == 2 ? ref | CheckWatch::kBinary : ref;
        remove_watch(prop.watches[neg(c[0])], tagged);
        remove_watch(prop.watches[neg(c[1])], tagged);
    }
    // Occurrence lists keep the entry; a RAT test passes over deleted clauses.
    prop.garbage += c.size() + Prop::kHeader;
    prop.mem[ref] |= Prop::kDeletedBit;
    if (prop.garbage >= kMinGarbage && prop.garbage * 2 > prop.mem.size()) compact();
}

void Checker::build_occs() {
    occs_.resize(prop.watches.size());
    const std::vector<uint32_t>& mem = prop.mem;
    for (size_t r = 0; r < mem.size(); r += Prop::kHeader + prop.size_of(static_cast<uint32_t>(r))) {
        const uint32_t ref = static_cast<uint32_t>(r);
        if (!prop.live(ref)) continue;
        for (Lit l : prop.lits(ref)) occs_[l].push_back(ref);
    }
    occs_built_ = true;
}

void Checker::compact() {
    if (prop.garbage == 0) return;
    std::vector<uint32_t>& mem = prop.mem;
    // Old and new positions of the live clauses, both ascending.
    std::vector<uint32_t> from, to;
    uint32_t write = 0;
    for (size_t r = 0; r < mem.size(); r += Prop::kHeader + prop.size_of(static_cast<uint32_t>(r))) {
        const uint32_t ref = static_cast<uint32_t>(r);
        if (!prop.live(ref)) continue;
        from.push_back(ref);
        to.push_back(write);
        write += Prop::kHeader + prop.size_of(ref);
    }
    auto moved = [&](uint32_t ref) {
        const size_t i = static_cast<size_t>(std::lower_bound(from.begin(), from.end(), ref) - from.begin());
        if (i == from.size() || from[i] != ref) throw Panic("checker: reference to a deleted clause");
        return to[i];
    };
    for (std::vector<CheckWatch>& list : prop.watches)
        for (CheckWatch& w : list) w.ref = moved(w.ref & ~CheckWatch::kBinary) | (w.ref & CheckWatch::kBinary);
    index_.relocate(moved);
    std::unordered_map<uint32_t, uint32_t> below;
    for (const auto& [upper, lower] : below_) below.emplace(moved(upper), moved(lower));
    below_.swap(below);
    if (occs_built_) {
        for (std::vector<uint32_t>& list : occs_) {
            size_t j = 0;
            for (uint32_t ref : list)
                if (prop.live(ref)) list[j++] = moved(ref);
            list.resize(j);
        }
    }
    for (size_t i = 0; i < from.size(); ++i) {
        const uint32_t words = Prop::kHeader + prop.size_of(from[i]);
        if (from[i] != to[i]) std::memmove(mem.data() + to[i], mem.data() + from[i], sizeof(uint32_t) * words);
    }
    mem.resize(write);
    prop.garbage = 0;
}

bool Checker::is_rup(std::span<const Lit> lits) {
    if (inconsistent) return true;
    const size_t mark = prop.trail.size();
    bool satisfied = false;
    for (Lit l : lits) {
        const uint8_t v = prop.vals[l];
        if (v == Prop::kTrue) {
            satisfied = true;
            break;
        }
        if (v == Prop::kFalse) continue;
        prop.assign(neg(l));
    }
    const bool result = satisfied || prop.propagate(mark);
    for (size_t i = prop.trail.size(); i > mark;) {
        const Lit t = prop.trail[--i];
        prop.vals[t] = Prop::kUnassigned;
        prop.vals[neg(t)] = Prop::kUnassigned;
    }
    prop.trail.resize(mark);
    return result;
}

}  // namespace nv
