"""A slow, literal pure-Python model of the native preprocessor.

Every order matters here: occurrence lists lose entries by moving their last
entry into the freed place, the subsumption order is a stable sort by length,
the pivot is the literal with the fewest occurrences of its variable (first one
on a tie), elimination candidates are a stable sort by the occurrence product,
and the proof log records each change in the order it happens.  The model is
compared counter by counter with `norvane_native.Preprocessor`, so it favours
plainness over speed.

A clause added (or a freeze) over an eliminated variable reactivates it: the
entry of that variable and, transitively, the later entries of the eliminated
variables its clauses name are taken off the stack, newest first, and their
clauses go back into the store (settled against the fixed values, logged as
additions).

Literals are internal: 2*v for variable v, 2*v + 1 for its negation.
"""

from reference.solver_model import to_dimacs

U32_MAX = 0xFFFFFFFF
SUBSUME_BUDGET = 2_000_000
MAX_PAIRS = 400


def _sig(lits):
    return sum({1 << ((l >> 1) % 64) for l in lits})


class RefPreprocessor:
    def __init__(self, nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False):
        self.nvars, self.do_bve, self.with_proof = nvars, do_bve, with_proof
        self.max_resolvent_len = max_resolvent_len
        self.clauses, self.sigs = [], []  # literal list, or None for a dead slot; its signature
        self.occs, self.assign, self.frozen = [[] for _ in range(2 * nvars)], [0] * nvars, [0] * nvars
        self.stack = []  # (variable, [clause, ...]) of the variables eliminated now
        self.proof = []  # (is_deletion, [internal literals])
        self.unsat, self.units, self.subsumed, self.strengthened, self.eliminated_vars = False, 0, 0, 0, 0
        self.resolvents, self.pure, self.reactivated = 0, 0, 0

    # ------------------------------------------------------------------ store

    def grow(self, n):
        self.nvars = max(n, self.nvars)
        self.occs += [[] for _ in range(2 * self.nvars - len(self.occs))]
        self.assign += [0] * (self.nvars - len(self.assign))
        self.frozen += [0] * (self.nvars - len(self.frozen))

    def alive(self):
        return [i for i, c in enumerate(self.clauses) if c is not None]

    def _log(self, is_deletion, lits):
        if self.with_proof:
            self.proof.append((is_deletion, list(lits)))

    def _unlist(self, lst, cid):
        last = lst.pop()
        if last != cid:
            lst[lst.index(cid)] = last

    def insert(self, lits, log):
        if log:
            self._log(False, lits)
        for l in lits:
            self.occs[l].append(len(self.clauses))
        self.sigs.append(_sig(lits))
        self.clauses.append(lits)

    def remove(self, cid):
        lits, self.clauses[cid] = self.clauses[cid], None
        for l in lits or []:
            self._unlist(self.occs[l], cid)
        if lits is not None:
            self._log(True, lits)

    def replace(self, cid, lits):
        """The new clause is logged before the old one is deleted."""
        self._log(False, lits)
        self.remove(cid)
        self.sigs[cid], self.clauses[cid] = _sig(lits), lits
        for l in lits:
            self.occs[l].append(cid)

    def _set_unsat(self):
        self.unsat = True
        self._log(False, [])
        return False

    def _settle(self, u):
        """Make literal u true in the store: clauses with u go, the others lose
        every occurrence of its negation.  Returns the clauses that became
        units (as their literal), or None when one became empty."""
        units = []
        for cid in list(self.occs[u]):
            self.remove(cid)
        for cid in list(self.occs[u ^ 1]):
            rest = [l for l in self.clauses[cid] if l != u ^ 1]
            if not rest:
                return None
            self.replace(cid, rest)
            if len(rest) == 1:
                units.append(rest[0])
        return units

    def propagate(self):
        # Clauses added after an earlier run may mention variables that are
        # already fixed: settle them against the permanent values first,
        # variable by variable, so that fixed variables leave the store.  Units
        # this creates are met by the queue below like any other unit clause.
        for v in range(self.nvars):
            if self.assign[v] and self._settle(2 * v + (self.assign[v] == 2)) is None:
                return self._set_unsat()
        queue = [self.clauses[c][0] for c in self.alive() if len(self.clauses[c]) == 1]
        while queue:
            u = queue.pop()
            x = u >> 1
            val = 2 if u & 1 else 1
            if self.assign[x] == 0:
                self.assign[x] = val
                self.units += 1
                units = self._settle(u)
                if units is None:
                    return self._set_unsat()
                queue.extend(units)
            elif self.assign[x] != val:
                return self._set_unsat()
        return True

    # ----------------------------------------------------------------- rounds

    def run(self, rounds=3):
        # A formula already found unsatisfiable stays so; an empty clause
        # given by the caller is the refutation itself.
        if rounds and self.unsat:
            return False
        if rounds and [] in self.clauses:
            return self._set_unsat()
        for _ in range(rounds):  # until a round changes nothing
            before = (self.subsumed, self.strengthened, self.eliminated_vars)
            if not (self.propagate() and self._subsume_pass()):
                return False
            self._pure_pass()
            if (self.do_bve and not self._eliminate_pass()) or not self.propagate():
                return False
            if (self.subsumed, self.strengthened, self.eliminated_vars) == before:
                return True
        return True

    def _subsume_pass(self):
        order = sorted(self.alive(), key=lambda c: len(self.clauses[c]))
        budget = SUBSUME_BUDGET
        for c in order:
            if self.clauses[c] is None:
                continue
            cl = list(self.clauses[c])
            p = min(cl, key=lambda l: len(self.occs[l]) + len(self.occs[l ^ 1]))  # the first of the fewest
            for d in self.occs[p] + self.occs[p ^ 1]:
                dl = self.clauses[d]
                if d == c or dl is None or len(dl) < len(cl):
                    continue
                budget -= 1
                if budget < 0:
                    return True
                if self.sigs[c] & ~self.sigs[d]:
                    continue
                missing = [l for l in cl if l not in dl]
                if not missing:
                    self.remove(d)
                    self.subsumed += 1
                if len(missing) != 1 or missing[0] ^ 1 not in dl:
                    continue
                rest = [l for l in dl if l != missing[0] ^ 1]
                if not rest:
                    return self._set_unsat()
                self.replace(d, rest)
                self.strengthened += 1
        return True

    def _eliminate(self, v, ids):
        """Variable v goes on the stack with the clauses `ids`, which leave the store."""
        self.stack.append((v, [list(self.clauses[c]) for c in ids]))
        for c in ids:
            self.remove(c)
        self.eliminated_vars += 1

    def _pure_pass(self):
        for v in range(self.nvars):
            if self.assign[v] != 0 or self.frozen[v]:
                continue
            pos, neg = len(self.occs[2 * v]), len(self.occs[2 * v + 1])
            if (pos == 0) == (neg == 0):
                continue
            self._eliminate(v, list(self.occs[2 * v if pos > 0 else 2 * v + 1]))
            self.pure += 1

    def _eliminate_pass(self):
        cands = [v for v in range(self.nvars) if self.assign[v] == 0 and not self.frozen[v]]
        cands.sort(key=lambda v: len(self.occs[2 * v]) * len(self.occs[2 * v + 1]))
        for x in cands:
            if self.assign[x] != 0:
                continue
            pos_ids, neg_ids = list(self.occs[2 * x]), list(self.occs[2 * x + 1])
            pos, neg = ([list(self.clauses[c]) for c in ids] for ids in (pos_ids, neg_ids))
            if (not pos and not neg) or len(pos) * len(neg) > MAX_PAIRS:
                continue
            kept = []
            for P, N in ((P, N) for P in pos for N in neg):  # resolvents in order, up to the first too long
                r = [l for l in P if l != 2 * x]
                for l in N:
                    if l == 2 * x + 1 or l in r:
                        continue
                    if l ^ 1 in r:
                        break
                    r.append(l)
                else:
                    if not r:
                        return self._set_unsat()
                    if len(r) > self.max_resolvent_len:
                        break
                    kept.append(r)
            else:
                if len(kept) <= len(pos) + len(neg):
                    for r in kept:
                        self.insert(r, True)
                        self.resolvents += 1
                    self._eliminate(x, pos_ids + neg_ids)
        return True

    # ----------------------------------------------------------- reactivation

    def _reactivate(self, v):
        eliminated = [x for x, _ in self.stack]
        if v not in eliminated:
            return
        wanted, undo = {v}, []
        for i in range(eliminated.index(v), len(self.stack)):
            x, saved = self.stack[i]
            if x in wanted:
                undo.append(i)
                wanted |= {l >> 1 for c in saved for l in c if (l >> 1) in eliminated}
        for i in reversed(undo):
            _, saved = self.stack.pop(i)
            for c in saved:
                if any(self.assign[l >> 1] == (1 if l & 1 == 0 else 2) for l in c):
                    continue
                self.insert([l for l in c if self.assign[l >> 1] == 0], True)
            self.reactivated += 1

    # ----------------------------------------------------------- Python face

    def freeze(self, v):
        if v >= U32_MAX:
            raise OverflowError("variable index out of range")
        self.grow(v + 1)
        self._reactivate(v)
        self.frozen[v] = 1

    def add_clause(self, lits):
        self._add(lits)

    def add_clauses(self, clauses):
        return sum(self._add(c) for c in clauses)

    def _add(self, lits):
        out = []
        for l in lits:
            self.grow((l >> 1) + 1)
            if l in out:
                continue
            if l ^ 1 in out:
                return False
            out.append(l)
        for l in out:
            self._reactivate(l >> 1)
        self.insert(out, False)
        return True

    def reduced(self):
        return [[]] if self.unsat else [list(self.clauses[c]) for c in self.alive()]

    def reconstruct(self, model):
        vals = [self.assign[v] == 1 if self.assign[v] else v < len(model) and bool(model[v])
                for v in range(self.nvars)]

        def sat(c):
            return any(vals[l >> 1] != bool(l & 1) for l in c)

        for x, saved in reversed(self.stack):
            if all(sat(c) for c in saved):
                continue
            vals[x] = any(2 * x in c for c in saved if not sat(c))
            if not all(sat(c) for c in saved):
                raise ValueError(f"reconstruction failed for x{x}")
        return vals

    def proof_steps(self):
        return [("d" if d else "a", [to_dimacs(l) for l in lits]) for d, lits in self.proof]

    def __repr__(self):
        return f"<native.Preprocessor vars={self.nvars} eliminated={self.eliminated_vars} subsumed={self.subsumed}>"
