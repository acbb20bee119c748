// Clause store of the preprocessor: slots, signatures, occurrence lists,
// growth, insertion, removal, in-place replacement and unit propagation.
#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "../core/errors.hpp"
#include "../core/memory.hpp"
#include "preprocessor.hpp"

namespace nv {

namespace {

// Bytes the per-variable tables take for one variable: two occurrence lists,
// two literal marks, the assignment and the frozen flag.
constexpr uint64_t kBytesPerVar =
    2 * sizeof(std::vector<uint32_t>) + 2 * sizeof(uint32_t) + 2 * sizeof(uint8_t);

template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    size_t want = v.size() + extra;
    v.reserve(std::max(want, v.capacity() * 2));
}

}  // namespace

Preprocessor::Preprocessor(uint32_t nvars, bool do_bve, uint64_t max_resolvent_len,
                           bool with_proof)
    : max_resolvent_len_(max_resolvent_len), with_proof_(with_proof), do_bve_(do_bve) {
    grow(nvars);
}

void Preprocessor::grow(uint32_t n) {
    if (n <= nvars_) return;
    ensure_fits(uint64_t{n} - nvars_, kBytesPerVar);
    size_t nl = size_t{2} * n;
    occs_.resize(nl);
    mark_.resize(nl, 0);
    assign_.resize(n, 0);
    frozen_.resize(n, 0);
    nvars_ = n;  // only once every table covers n
}

void Preprocessor::freeze(uint32_t v) {
    if (v == std::numeric_limits<uint32_t>::max())
        throw OverflowError("variable index out of range");
    grow(v + 1);
    frozen_[v] = 1;
}

uint32_t Preprocessor::next_stamp() {
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0u);
        stamp_ = 1;
    }
    return stamp_;
}

void Preprocessor::add_clause(const Lit* lits, size_t n) {
    // Every literal is grown for in order until a tautology is detected, so
    // the variable count needed is the largest one in that prefix.
    uint64_t need = 0;
    for (size_t i = 0; i < n; ++i) need = std::max<uint64_t>(need, uint64_t{lits[i] >> 1} + 1);
    if (need > nvars_) {
        // Find where a tautology would stop the scan: the earliest index at
        // which a literal meets its complement among earlier literals.
        std::vector<std::pair<Lit, size_t>> byl(n);
        for (size_t i = 0; i < n; ++i) byl[i] = {lits[i], i};
        std::sort(byl.begin(), byl.end());
        size_t stop = n;  // index of the literal that reveals the tautology
        for (size_t i = 0; i < n;) {
            Lit l = byl[i].first;
            size_t first_l = byl[i].second;
            size_t j = i;
            while (j < n && byl[j].first == l) ++j;
            // Positive literal followed by its negation in sorted order.
            if ((l & 1u) == 0 && j < n && byl[j].first == (l | 1u))
                stop = std::min(stop, std::max(first_l, byl[j].second));
            i = j;
        }
        size_t end = stop == n ? n : stop + 1;
        need = 0;
        for (size_t i = 0; i < end; ++i) need = std::max<uint64_t>(need, uint64_t{lits[i] >> 1} + 1);
        grow(static_cast<uint32_t>(need));
    }
    // All literals up to the tautology (if any) are now in range.
    uint32_t s = next_stamp();
    lits_a_.clear();
    for (size_t i = 0; i < n; ++i) {
        Lit l = lits[i];
        if (mark_[l] == s) continue;
        if (mark_[neg(l)] == s) return;  // tautology: nothing stored
        mark_[l] = s;
        lits_a_.push_back(l);
    }
    insert(lits_a_, false);
    for (Lit l : lits_a_)
        if (assign_[l >> 1] != 0) refix_pending_ = true;
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
    if (log && with_proof_) proof_.push_back({false, std::vector<Lit>(lits.begin(), lits.end())});
    const uint64_t at = arena_.size();
    size_t pushed = 0;
    try {
        for (; pushed < lits.size(); ++pushed) {
            std::vector<uint32_t>& o = occs_[lits[pushed]];
            opos_.push_back(static_cast<uint32_t>(o.size()));
            o.push_back(id);
        }
    } catch (...) {
        while (pushed > 0) occs_[lits[--pushed]].pop_back();
        opos_.resize(at);
        if (log && with_proof_) proof_.pop_back();
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
    if (with_proof_) {
        std::span<const Lit> c = clause(id);
        proof_.push_back({true, std::vector<Lit>(c.begin(), c.end())});
    }
}

void Preprocessor::replace(uint32_t id, std::span<const Lit> lits) {
    if (with_proof_) proof_.push_back({false, std::vector<Lit>(lits.begin(), lits.end())});
    bool was_live = live_[id] != 0;
    ProofStep old{true, {}};
    if (was_live) {
        const uint64_t b = start_[id];
        const uint32_t n = len_[id];
        if (with_proof_) old.lits.assign(arena_.begin() + static_cast<ptrdiff_t>(b),
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
    if (with_proof_ && was_live) proof_.push_back(std::move(old));
}

bool Preprocessor::set_unsat() {
    unsat_ = true;
    if (with_proof_) proof_.push_back({false, {}});
    return false;
}

// Clauses added after propagation may mention variables it already fixed.
// Satisfied ones are removed and false literals cut out, exactly as when the
// value was first found, so that fixed variables again occur nowhere.
bool Preprocessor::reapply_fixed() {
    for (Var x = 0; x < nvars_; ++x) {
        if (assign_[x] == 0) continue;
        Lit u = mk_lit(x, assign_[x] == 2);
        if (occs_[u].empty() && occs_[neg(u)].empty()) continue;
        if (!apply_literal(u, nullptr)) return false;
    }
    return true;
}

// Literal u has become true: clauses containing it go, and ~u is cut out of
// the others (new units are pushed on `units` when given).  False when a
// clause becomes empty.
bool Preprocessor::apply_literal(Lit u, std::vector<Lit>* units) {
    ids_a_ = occs_[u];
    for (uint32_t id : ids_a_) remove(id);
    ids_a_ = occs_[neg(u)];
    for (uint32_t id : ids_a_) {
        if (!live_[id]) continue;
        lits_a_.clear();
        for (Lit l : clause(id))
            if (l != neg(u)) lits_a_.push_back(l);
        if (lits_a_.empty()) return false;
        replace(id, lits_a_);
        if (units && lits_a_.size() == 1) units->push_back(lits_a_[0]);
    }
    return true;
}

bool Preprocessor::propagate() {
    if (empty_live_ > 0) return set_unsat();
    if (refix_pending_) {
        refix_pending_ = false;
        if (!reapply_fixed()) return set_unsat();
    }
    std::vector<Lit>& queue = lits_b_;
    queue.clear();
    for (size_t id = 0; id < len_.size(); ++id)
        if (live_[id] && len_[id] == 1) queue.push_back(arena_[start_[id]]);
    while (!queue.empty()) {
        Lit u = queue.back();
        queue.pop_back();
        Var x = u >> 1;
        uint8_t val = is_neg(u) ? 2 : 1;
        if (assign_[x] == val) continue;
        if (assign_[x] != 0) return set_unsat();
        assign_[x] = val;
        ++units_;
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
    return listed == expected && empties == empty_live_;
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

void Preprocessor::push_stack_entry(Var v, const std::vector<uint32_t>& ids) {
    stack_var_.push_back(v);
    stack_first_.push_back(stack_cls_.size());
    for (uint32_t id : ids) stack_cls_.push(clause(id));
}

std::vector<std::vector<Lit>> Preprocessor::stack_clauses(size_t i) const {
    size_t b = stack_first_[i];
    size_t e = i + 1 < stack_first_.size() ? stack_first_[i + 1] : stack_cls_.size();
    std::vector<std::vector<Lit>> out;
    for (size_t k = b; k < e; ++k) {
        std::span<const Lit> c = stack_cls_[k];
        out.emplace_back(c.begin(), c.end());
    }
    return out;
}

}  // namespace nv
