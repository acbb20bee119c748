#include "checker.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "../core/errors.hpp"
#include "../core/memory.hpp"

namespace nv {

namespace {

// Bytes one variable costs in the per-literal tables: two literals, each with
// a value byte, a RAT mark byte, a watch list header and an occurrence list
// header, plus one trail entry.
constexpr uint64_t kBytesPerVar =
    2 * (sizeof(uint8_t) + sizeof(uint8_t) + sizeof(std::vector<uint32_t>) +
         sizeof(std::vector<uint32_t>)) +
    sizeof(Lit);

// Literals have variables below 2^31, so tables never need more than this.
constexpr uint64_t kMaxLiteralVars = uint64_t{1} << 31;

// Arena compaction starts once deleted clauses hold this many literals and
// more than half of the arena.
constexpr uint64_t kMinGarbage = uint64_t{1} << 16;

const char* const kMsgUnitRefuted = "input formula is refuted by unit propagation alone";
const char* const kMsgVerified = "empty clause derived and every step verified";
const char* const kMsgNoEmpty = "every step verified, but the proof never derives the empty clause";
const char* const kMsgNotRup = "clause is not RUP (RAT checking disabled)";
const char* const kMsgNeither =
    "clause is neither RUP nor RAT with respect to the clauses available at this point";

void remove_first_swap(std::vector<uint32_t>& list, uint32_t id) {
    auto it = std::find(list.begin(), list.end(), id);
    if (it == list.end()) throw Panic("checker: watch entry of a live clause is missing");
    *it = list.back();
    list.pop_back();
}

void remove_first_shift(std::vector<uint32_t>& list, uint32_t id) {
    auto it = std::find(list.begin(), list.end(), id);
    if (it == list.end()) throw Panic("checker: occurrence of a live clause is missing");
    list.erase(it);
}

void make_key(std::span<const Lit> lits, std::vector<Lit>& out) {
    out.assign(lits.begin(), lits.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

}  // namespace

std::vector<Lit> key(std::span<const Lit> lits) {
    std::vector<Lit> k;
    make_key(lits, k);
    return k;
}

size_t KeyHash::operator()(const std::vector<Lit>& k) const noexcept {
    uint64_t h = 0x243F6A8885A308D3ull ^ k.size();
    for (Lit l : k) {
        h = (h ^ l) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return static_cast<size_t>(h);
}

// ---------------------------------------------------------------------------
// Propagation

bool Prop::propagate(size_t start) {
    // None of these tables changes size while propagating; local copies of
    // their data pointers keep the value writes from forcing reloads.
    uint8_t* const val = vals.data();
    const ClauseSlot* const slots = clauses.data();
    Lit* const lits_base = arena.data();
    std::vector<uint32_t>* const wl = watches.data();
    size_t head = start;
    while (head < trail.size()) {
        const Lit L = trail[head++];
        const Lit F = neg(L);
        std::vector<uint32_t>& ws = wl[L];
        uint32_t* const w = ws.data();
        const size_t n = ws.size();
        size_t i = 0, j = 0;
        while (i < n) {
            const uint32_t id = w[i++];
            const ClauseSlot slot = slots[id];
            if (slot.start == ClauseSlot::kDeleted) continue;  // drop entries of deleted clauses
            Lit* const c = lits_base + slot.start;
            if (c[0] == F) {
                c[0] = c[1];
                c[1] = F;
            }
            if (val[c[0]] == kTrue) {
                w[j++] = id;
                continue;
            }
            // A repeat of c[0] is no second watch: skipping it keeps a clause
            // such as [a, a, b] from ending up watched twice on a.
            uint32_t k = 2;
            while (k < slot.size && (val[c[k]] == kFalse || c[k] == c[0])) ++k;
            if (k < slot.size) {
                // New watch: never the list being walked, as c[k] is not false.
                c[1] = c[k];
                c[k] = F;
                wl[neg(c[1])].push_back(id);
                continue;
            }
            w[j++] = id;
            if (val[c[0]] == kFalse) {
                while (i < n) w[j++] = w[i++];
                ws.resize(j);
                return true;
            }
            val[c[0]] = kTrue;
            val[neg(c[0])] = kFalse;
            trail.push_back(c[0]);
        }
        ws.resize(j);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Clause store

Checker::Checker(uint32_t n, bool rat, bool deletions) : check_rat(rat), apply_deletions(deletions) {
    reserve_vars(n);
    const uint64_t lits = 2 * uint64_t{n};
    prop.vals.resize(lits, Prop::kUnassigned);
    prop.watches.resize(lits);
    occs.resize(lits);
    in_clause_.resize(lits, 0);
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
    occs.reserve(lits);
    in_clause_.reserve(lits);
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
    if (occs.size() < n) occs.resize(n);
    if (in_clause_.size() < n) in_clause_.resize(n, 0);
    nvars = static_cast<uint32_t>(m);
}

uint32_t Checker::insert(std::span<const Lit> lits) {
    grow(lits);
    if (prop.clauses.size() >= ClauseSlot::kDeleted)
        throw std::length_error("checker: too many clauses");
    if (lits.size() >= ClauseSlot::kDeleted - prop.arena.size()) {
        compact_arena();
        if (lits.size() >= ClauseSlot::kDeleted - prop.arena.size())
            throw std::length_error("checker: too many clause literals");
    }
    std::vector<Lit> k = key(lits);
    const uint32_t id = static_cast<uint32_t>(prop.clauses.size());
    const size_t n = lits.size();
    ClauseSlot slot;
    slot.start = static_cast<uint32_t>(prop.arena.size());
    slot.size = static_cast<uint32_t>(n);
    prop.arena.insert(prop.arena.end(), lits.begin(), lits.end());
    Lit* const c = prop.arena.data() + slot.start;
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
        prop.watches[neg(c[0])].push_back(id);
        prop.watches[neg(c[1])].push_back(id);
    }
    // A clause made of one literal, however often repeated, is a unit.
    if (n >= 1 && k.size() == 1) prop.unit_lits.push_back(lits[0]);
    prop.clauses.push_back(slot);
    index[std::move(k)].push_back(id);
    for (Lit l : lits) occs[l].push_back(id);
    return id;
}

int64_t Checker::find(const std::vector<Lit>& k) const {
    auto it = index.find(k);
    if (it == index.end() || it->second.empty()) return -1;
    return it->second.back();
}

bool Checker::del(const std::vector<Lit>& k) {
    auto it = index.find(k);
    if (it == index.end() || it->second.empty()) return false;
    const uint32_t id = it->second.back();
    it->second.pop_back();
    if (!prop.live(id)) throw Panic("checker: indexed clause already deleted");
    const std::span<const Lit> c = prop.lits(id);
    if (c.size() >= 2) {
        remove_first_swap(prop.watches[neg(c[0])], id);
        remove_first_swap(prop.watches[neg(c[1])], id);
    }
    for (Lit l : c) remove_first_shift(occs[l], id);
    prop.arena_garbage += c.size();
    prop.clauses[id].start = ClauseSlot::kDeleted;
    prop.clauses[id].size = 0;
    if (prop.arena_garbage >= kMinGarbage && prop.arena_garbage * 2 > prop.arena.size()) compact_arena();
    return true;
}

void Checker::compact_arena() {
    if (prop.arena_garbage == 0) return;
    uint32_t write = 0;
    Lit* const a = prop.arena.data();
    for (ClauseSlot& s : prop.clauses) {
        if (s.start == ClauseSlot::kDeleted) continue;
        if (s.start != write) std::memmove(a + write, a + s.start, sizeof(Lit) * s.size);
        s.start = write;
        write += s.size;
    }
    prop.arena.resize(write);
    prop.arena_garbage = 0;
}

bool Checker::is_rup(std::span<const Lit> lits) {
    if (inconsistent) return true;
    const size_t mark = prop.trail.size();
    bool result = false;
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
    result = satisfied || prop.propagate(mark);
    for (size_t i = prop.trail.size(); i > mark;) {
        const Lit t = prop.trail[--i];
        prop.vals[t] = Prop::kUnassigned;
        prop.vals[neg(t)] = Prop::kUnassigned;
    }
    prop.trail.resize(mark);
    return result;
}

// ---------------------------------------------------------------------------
// Checking

void Checker::load(const Cnf& formula) {
    for (size_t i = 0; i < formula.size(); ++i) {
        const std::span<const Lit> c = formula[i];
        if (c.empty()) inconsistent = true;
        insert(c);
    }
    if (inconsistent) return;
    for (Lit u : prop.unit_lits) {
        if (prop.is_true(u)) continue;
        if (prop.is_false(u)) {
            inconsistent = true;
            return;
        }
        prop.assign(u);
    }
    inconsistent = prop.propagate(0);
}

// A clause whose only true literal is implied by it at the top level: one
// true literal (counting repetitions once), every other literal false.
bool Checker::rests_on_single_truth(uint32_t id) const {
    bool have = false;
    Lit t = 0;
    for (Lit l : prop.lits(id)) {
        const uint8_t v = prop.vals[l];
        if (v == Prop::kTrue) {
            if (have && l != t) return false;
            have = true;
            t = l;
        } else if (v != Prop::kFalse) {
            return false;
        }
    }
    return have;
}

bool Checker::is_rat(std::span<const Lit> c) {
    const Lit np = neg(c[0]);
    for (Lit l : c) in_clause_[l] = 1;
    bool ok = true;
    const std::vector<uint32_t>& candidates = occs[np];  // unchanged by RUP tests
    for (size_t ci = 0; ci < candidates.size(); ++ci) {
        const uint32_t id = candidates[ci];
        if (!prop.live(id)) continue;
        const std::span<const Lit> d = prop.lits(id);
        bool tautology = false;
        resolvent_.assign(c.begin(), c.end());
        for (Lit l : d) {
            if (l == np) continue;
            if (in_clause_[neg(l)]) {
                tautology = true;
                break;
            }
            if (!in_clause_[l]) resolvent_.push_back(l);
        }
        if (tautology) continue;
        ++report.rat_checks;
        if (!is_rup(resolvent_)) {
            ok = false;
            break;
        }
    }
    for (Lit l : c) in_clause_[l] = 0;
    return ok;
}

void Checker::add_lemma(std::span<const Lit> c) {
    for (Lit l : c) {
        if (prop.is_true(l)) {
            insert(c);
            return;
        }
    }
    order_buf_.clear();
    for (Lit l : c)
        if (!prop.is_false(l)) order_buf_.push_back(l);
    const size_t open = order_buf_.size();
    for (Lit l : c)
        if (prop.is_false(l)) order_buf_.push_back(l);
    // Number of distinct non-false (here: unassigned) literals, up to 2.
    int n = open == 0 ? 0 : 1;
    for (size_t i = 1; i < open; ++i) {
        if (order_buf_[i] != order_buf_[0]) {
            n = 2;
            break;
        }
    }
    const Lit unit = open == 0 ? 0 : order_buf_[0];
    insert(order_buf_);
    if (n == 0) {
        inconsistent = true;
    } else if (n == 1) {
        const size_t pos = prop.trail.size();
        prop.assign(unit);
        if (prop.propagate(pos)) inconsistent = true;
    }
}

void Checker::fail(const char* message) {
    report.ok = false;
    report.message = message;
    report.failed_step = static_cast<int64_t>(report.steps);
}

bool Checker::step(bool is_deletion, std::span<const Lit> lits) {
    ++report.steps;
    if (!lits.empty()) grow(lits);
    if (is_deletion) {
        if (lits.size() <= 1) {
            ++report.skipped;
            return true;
        }
        if (!apply_deletions) return true;
        make_key(lits, key_buf_);
        const int64_t id = find(key_buf_);
        // A clause that is the only support of a top-level literal stays:
        // the literal remains assigned, so the clause must remain as well.
        if (id < 0 || rests_on_single_truth(static_cast<uint32_t>(id))) {
            ++report.skipped;
        } else {
            del(key_buf_);
            ++report.deleted;
        }
        return true;
    }
    if (lits.empty()) {
        if (is_rup(lits)) {
            ++report.rup;
            report.empty_derived = true;
        } else {
            fail(check_rat ? kMsgNeither : kMsgNotRup);
        }
        return false;
    }
    if (is_rup(lits)) {
        ++report.rup;
    } else if (!check_rat) {
        fail(kMsgNotRup);
        return false;
    } else if (is_rat(lits)) {
        ++report.rat;
    } else {
        fail(kMsgNeither);
        return false;
    }
    add_lemma(lits);
    return true;
}

CheckReport check_proof(uint32_t nvars, const Cnf& clauses, const StepList& steps, bool check_rat,
                        bool apply_deletions) {
    if (steps.clauses.size() != steps.size()) throw Panic("checker: step flags and step clauses differ in number");
    Checker ck(nvars, check_rat, apply_deletions);
    ck.load(clauses);
    if (ck.inconsistent) {
        CheckReport r;
        r.ok = true;
        r.empty_derived = true;
        r.message = kMsgUnitRefuted;
        return r;
    }
    bool ended = false;
    for (size_t i = 0; i < steps.size() && !ended; ++i)
        ended = !ck.step(steps.is_deletion[i], steps.clauses[i]);
    CheckReport& r = ck.report;
    if (r.empty_derived) {
        r.ok = true;
        r.message = kMsgVerified;
    } else if (!ended) {
        r.ok = false;
        r.message = kMsgNoEmpty;
        r.failed_step = -1;
    }
    return std::move(r);
}

}  // namespace nv
