// Clause store of the preprocessor: slots, signatures, occurrence lists,
// growth, insertion, removal, in-place replacement and unit propagation.
//
// Every change goes through insert / remove / replace, which keep the
// occurrence lists (unordered: a removal moves the list's last entry into
// the freed place, found through opos_ without a search) and log the change
// when a proof is kept.  Propagation settles each new unit in one sweep:
// clauses containing it go, its complement is cut out of the others, so
// fixed variables occur nowhere afterwards.  The passes that use these
// operations live in rounds.cpp and elimination.cpp; bringing eliminated
// variables back, in reactivate.cpp.
#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "../core/errors.hpp"
#include "../core/memory.hpp"
#include "../core/tautology.hpp"
#include "preprocessor.hpp"

namespace nv {

namespace {

// Bytes the per-variable tables take for one variable: two occurrence lists,
// two literal marks, the assignment, the frozen flag and the stack entry.
constexpr uint64_t kBytesPerVar =
    2 * sizeof(std::vector<uint32_t>) + 2 * sizeof(uint32_t) + 2 * sizeof(uint8_t) + sizeof(uint64_t);

template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    size_t want = v.size() + extra;
    v.reserve(std::max(want, v.capacity() * 2));
}

}  // namespace

Preprocessor::Preprocessor(uint32_t nvars, bool do_bve, uint64_t max_resolvent_len,
                           bool with_proof)
    : max_resolvent_len_(max_resolvent_len), do_bve_(do_bve) {
    if (with_proof) proof_.keep_in_memory();
    grow(nvars);
}

void Preprocessor::log_to_file(const std::string& path, ProofFormat format) { proof_.open(path, format); }

void Preprocessor::grow(uint32_t n) {
    if (n <= nvars_) return;
    ensure_fits(uint64_t{n} - nvars_, kBytesPerVar);
    size_t nl = size_t{2} * n;
    occs_.resize(nl);
    mark_.resize(nl, 0);
    assign_.resize(n, 0);
    frozen_.resize(n, 0);
    elim_entry_.resize(n, 0);
    nvars_ = n;  // only once every table covers n
}

void Preprocessor::freeze(uint32_t v) {
    if (v == std::numeric_limits<uint32_t>::max())
        throw OverflowError("variable index out of range");
    grow(v + 1);
    reactivate(v);
    frozen_[v] = 1;
}

uint32_t Preprocessor::next_stamp() {
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0u);
        stamp_ = 1;
    }
    return stamp_;
}

// Every literal is grown for in order until a tautology is detected, so the
// variable count needed is the largest one in that prefix.
uint64_t Preprocessor::grow_target(const Lit* lits, size_t n, uint64_t have) {
    uint64_t need = 0;
    for (size_t i = 0; i < n; ++i) need = std::max<uint64_t>(need, uint64_t{lits[i] >> 1} + 1);
    if (need <= have) return have;
    // The scan stops at the literal that reveals a tautology, if any.
    std::vector<uint64_t> scratch;
    const size_t stop = tautology_position(lits, n, scratch);
    size_t end = stop == n ? n : stop + 1;
    need = 0;
    for (size_t i = 0; i < end; ++i) need = std::max<uint64_t>(need, uint64_t{lits[i] >> 1} + 1);
    return std::max(need, have);
}

void Preprocessor::grow_to(uint64_t n) {
    if (n > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    grow(static_cast<uint32_t>(n));
}

bool Preprocessor::add_clause(const Lit* lits, size_t n) {
    grow_to(grow_target(lits, n, nvars_));
    // All literals up to the tautology (if any) are now in range.
    uint32_t s = next_stamp();
    lits_a_.clear();
    for (size_t i = 0; i < n; ++i) {
        Lit l = lits[i];
        if (mark_[l] == s) continue;
        if (mark_[neg(l)] == s) return false;  // tautology: nothing stored
        mark_[l] = s;
        lits_a_.push_back(l);
    }
    // The clause may name variables that were eliminated: they come back
    // with the clauses saved for them before the new clause joins them.
    bool eliminated = false;
    for (Lit l : lits_a_) eliminated |= elim_entry_[l >> 1] != 0;
    if (eliminated) {
        std::vector<Lit> c(lits_a_);
        for (Lit l : c) reactivate(l >> 1);
        lits_a_.swap(c);
    }
    insert(lits_a_, false);
    for (Lit l : lits_a_)
        if (assign_[l >> 1] != 0) refix_pending_ = true;
    return true;
}

std::vector<uint32_t> Preprocessor::alive() const {
    std::vector<uint32_t> ids;
    for (size_t id = 0; id < live_.size(); ++id)
        if (live_[id]) ids.push_back(static_cast<uint32_t>(id));
    return ids;
}

uint32_t Preprocessor::insert(std::span<const Lit> lits, bool log) {
    if (len_.size() >= std::numeric_limits<uint32_t>::max())
        throw std::length_error("too many clauses");
    uint32_t id = static_cast<uint32_t>(len_.size());
    // Reserve first so that only the occurrence lists can fail midway; those
    // are rolled back, leaving the store as it was.
    reserve_more(arena_, lits.size());
    reserve_more(opos_, lits.size());
    reserve_more(start_, 1);
    reserve_more(len_, 1);
    reserve_more(live_, 1);
    reserve_more(sigs_, 1);
    const uint64_t at = arena_.size();
    size_t pushed = 0;
    try {
        for (; pushed < lits.size(); ++pushed) {
            std::vector<uint32_t>& o = occs_[lits[pushed]];
            opos_.push_back(static_cast<uint32_t>(o.size()));
            o.push_back(id);
        }
        // Last of what can fail; a log step is written whole or not at all.
        if (log) proof_.add(lits);
    } catch (...) {
        while (pushed > 0) occs_[lits[--pushed]].pop_back();
        opos_.resize(at);
        throw;
    }
    sigs_.push_back(signature(lits));
    start_.push_back(at);
    arena_.insert(arena_.end(), lits.begin(), lits.end());
    len_.push_back(static_cast<uint32_t>(lits.size()));
    live_.push_back(1);
    if (lits.empty()) ++empty_live_;
    return id;
}

// Takes the occurrence of l at arena position `at` (clause id) out of
// occs[l]: the list's last entry moves into its place.
void Preprocessor::occ_remove(Lit l, uint32_t id, uint64_t at) {
    if (l == emptying_) return;
    std::vector<uint32_t>& o = occs_[l];
    const uint32_t pos = opos_[at];
    if (pos >= o.size() || o[pos] != id)
        throw Panic("preprocessor: clause missing from an occurrence list");
    const uint32_t last = static_cast<uint32_t>(o.size() - 1);
    if (pos != last) {
        const uint32_t moved = o[last];
        o[pos] = moved;
        const uint64_t b = start_[moved];
        for (uint64_t j = b, e = b + len_[moved]; j < e; ++j) {
            if (arena_[j] == l && opos_[j] == last) {
                opos_[j] = pos;
                break;
            }
        }
    }
    o.pop_back();
}

void Preprocessor::remove(uint32_t id) {
    if (!live_[id]) return;
    live_[id] = 0;
    const uint64_t b = start_[id];
    const uint32_t n = len_[id];
    for (uint32_t k = 0; k < n; ++k) occ_remove(arena_[b + k], id, b + k);
    if (n == 0) --empty_live_;
    proof_.del(clause(id));
}

void Preprocessor::replace(uint32_t id, std::span<const Lit> lits) {
    proof_.add(lits);
    bool was_live = live_[id] != 0;
    std::vector<Lit>& old = replaced_;
    old.clear();
    if (was_live) {
        const uint64_t b = start_[id];
        const uint32_t n = len_[id];
        if (proof_.on()) old.assign(arena_.begin() + static_cast<ptrdiff_t>(b),
                                    arena_.begin() + static_cast<ptrdiff_t>(b + n));
        for (uint32_t k = 0; k < n; ++k) occ_remove(arena_[b + k], id, b + k);
        if (n == 0) --empty_live_;
    }
    sigs_[id] = signature(lits);
    if (lits.size() > len_[id]) {
        start_[id] = arena_.size();
        arena_.resize(arena_.size() + lits.size());
        opos_.resize(arena_.size());
    }
    const uint64_t b = start_[id];
    for (size_t k = 0; k < lits.size(); ++k) {
        std::vector<uint32_t>& o = occs_[lits[k]];
        arena_[b + k] = lits[k];
        opos_[b + k] = static_cast<uint32_t>(o.size());
        o.push_back(id);
    }
    len_[id] = static_cast<uint32_t>(lits.size());
    live_[id] = 1;
    if (lits.empty()) ++empty_live_;
    if (was_live) proof_.del(old);
}

bool Preprocessor::set_unsat() {
    unsat_ = true;
    proof_.add(nullptr, 0);
    return false;
}

// Clauses added after propagation may mention variables it already fixed.
// Satisfied ones are removed and false literals cut out, exactly as when the
// value was first found, so that fixed variables again occur nowhere.
// An interruption leaves the rest for the next propagation.
bool Preprocessor::reapply_fixed() {
    for (Var x = 0; x < nvars_; ++x) {
        if (poll(1)) {
            refix_pending_ = true;
            return true;
        }
        if (assign_[x] == 0) continue;
        Lit u = mk_lit(x, assign_[x] == 2);
        if (occs_[u].empty() && occs_[neg(u)].empty()) continue;
        poll(occs_[u].size() + occs_[neg(u)].size());
        if (!apply_literal(u, nullptr)) return false;
    }
    return true;
}

// Literal u has become true: clauses containing it go, and ~u is cut out of
// the others (new units are pushed on `units` when given).  False when a
// clause becomes empty.
//
// Both lists end empty, so entries leave them all at once at the end rather
// than one by one (each removal moves the list's last entry and looks up its
// place in that clause: a cache miss or two per entry, most of the time of
// a round on formulas with many units).  The other lists see exactly the
// removals and insertions they would otherwise.
bool Preprocessor::apply_literal(Lit u, std::vector<Lit>* units) {
    ids_a_.swap(occs_[u]);
    occs_[u].clear();
    emptying_ = u;
    for (uint32_t id : ids_a_) remove(id);
    ids_a_.swap(occs_[neg(u)]);
    occs_[neg(u)].clear();
    emptying_ = neg(u);
    for (size_t i = 0; i < ids_a_.size(); ++i) {
        const uint32_t id = ids_a_[i];
        if (!live_[id]) continue;
        lits_a_.clear();
        for (Lit l : clause(id))
            if (l != neg(u)) lits_a_.push_back(l);
        if (lits_a_.empty()) {
            // Refuted: the clauses not yet cut keep ~u, and their entries.
            emptying_ = kNoList;
            relist(neg(u), std::span<const uint32_t>(ids_a_).subspan(i));
            return false;
        }
        replace(id, lits_a_);
        if (units && lits_a_.size() == 1) units->push_back(lits_a_[0]);
    }
    emptying_ = kNoList;
    return true;
}

// Lists `ids` (the live ones) as the occurrences of `l`, in that order.
void Preprocessor::relist(Lit l, std::span<const uint32_t> ids) {
    std::vector<uint32_t>& o = occs_[l];
    o.clear();
    for (uint32_t id : ids) {
        if (!live_[id]) continue;
        const uint64_t b = start_[id];
        for (uint64_t j = b, e = b + len_[id]; j < e; ++j) {
            if (arena_[j] == l) opos_[j] = static_cast<uint32_t>(o.size());
        }
        o.push_back(id);
    }
}

// An interruption stops between two units: every value set so far has been
// applied in full, and the units still queued are unit clauses of the store
// that the next propagation finds again.
bool Preprocessor::propagate() {
    if (empty_live_ > 0) return set_unsat();
    if (refix_pending_) {
        refix_pending_ = false;
        if (!reapply_fixed()) return set_unsat();
        if (stop_) return true;
    }
    std::vector<Lit>& queue = lits_b_;
    queue.clear();
    for (size_t id = 0; id < len_.size(); ++id) {
        if (live_[id] && len_[id] == 1) queue.push_back(arena_[start_[id]]);
        if ((id & 1023) == 0 && poll(1024)) return true;
    }
    while (!queue.empty()) {
        if (poll(1)) return true;
        Lit u = queue.back();
        queue.pop_back();
        Var x = u >> 1;
        uint8_t val = is_neg(u) ? 2 : 1;
        if (assign_[x] == val) continue;
        if (assign_[x] != 0) return set_unsat();
        assign_[x] = val;
        ++stats_.units;
        poll(occs_[u].size() + occs_[neg(u)].size());
        if (!apply_literal(u, &queue)) return set_unsat();
    }
    return true;
}

bool Preprocessor::consistent() const {
    if (occs_.size() < size_t{2} * nvars_ || assign_.size() < nvars_) return false;
    std::vector<size_t> listed(len_.size(), 0), expected(len_.size(), 0);
    for (size_t l = 0; l < size_t{2} * nvars_; ++l)
        for (uint32_t id : occs_[l]) {
            if (id >= len_.size() || !live_[id]) return false;
            ++listed[id];
        }
    uint64_t empties = 0;
    for (size_t id = 0; id < len_.size(); ++id) {
        if (!live_[id]) continue;
        const uint64_t b = start_[id];
        if (len_[id] == 0) ++empties;
        if (sigs_[id] != signature(clause(static_cast<uint32_t>(id)))) return false;
        for (uint64_t k = b; k < b + len_[id]; ++k) {
            Lit l = arena_[k];
            if ((l >> 1) >= nvars_) return false;
            const std::vector<uint32_t>& o = occs_[l];
            if (opos_[k] >= o.size() || o[opos_[k]] != id) return false;
            ++expected[id];
        }
    }
    if (listed != expected || empties != empty_live_) return false;
    // Fixed variables leave the store, except for clauses added since the
    // last propagation (and once refuted, when the store no longer matters).
    for (Var v = 0; v < nvars_ && !refix_pending_ && !unsat_; ++v)
        if (assign_[v] != 0 && (!occs_[2 * size_t{v}].empty() || !occs_[2 * size_t{v} + 1].empty())) return false;
    // An eliminated variable occurs nowhere and names its own live entry;
    // every live entry is named by its variable.
    size_t live_entries = 0;
    for (size_t i = 0; i < stack_var_.size(); ++i) live_entries += stack_live_[i];
    size_t named = 0;
    for (Var v = 0; v < nvars_; ++v) {
        if (elim_entry_[v] == 0) continue;
        const uint64_t i = elim_entry_[v] - 1;
        if (i >= stack_var_.size() || !stack_live_[i] || stack_var_[i] != v) return false;
        if (!occs_[2 * size_t{v}].empty() || !occs_[2 * size_t{v} + 1].empty()) return false;
        ++named;
    }
    return named == live_entries;
}

Cnf Preprocessor::reduced() const {
    Cnf out;
    if (unsat_) {
        out.close();
        return out;
    }
    for (size_t id = 0; id < len_.size(); ++id)
        if (live_[id]) out.push(clause(static_cast<uint32_t>(id)));
    return out;
}

}  // namespace nv
