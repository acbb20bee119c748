"""A slow, literal pure-Python model of the native forward DRAT checker.

It keeps the same store as the native checker: two watches per clause on its
first two stored positions (no blocking literals, lists compacted in place
while they are walked), occurrence lists in insertion order, a key index that
is a stack of clause ids per sorted literal set, and a permanent top-level
assignment.  RAT is tried on the first literal of a lemma only.

Two refinements over a naive reading keep the verdicts sound:
- a clause whose literals are all one literal acts as that unit (it joins the
  unit literals at loading, and lemmas count distinct non-false literals);
- a deletion whose clause is the shape of a top-level reason (exactly one true
  literal, every other literal false) is not carried out and counts as
  skipped, so the permanent assignment never loses its justification.

`ref_check_proof` returns the same ten-field tuple as `check_proof`.
"""

from conftest import MSG_NO_EMPTY, MSG_OK

MSG_REFUTED = "input formula is refuted by unit propagation alone"
MSG_NO_RAT = "clause is not RUP (RAT checking disabled)"
MSG_NOT_RAT = "clause is neither RUP nor RAT with respect to the clauses available at this point"


def key(lits):
    return tuple(sorted(set(lits)))


class RefChecker:
    def __init__(self, nvars, check_rat=True, apply_deletions=True):
        self.nvars, self.vals, self.trail, self.unit_lits = 0, [], [], []
        self.watches, self.occs = [], []  # by literal: clause ids
        self.clauses = []  # stored literal list, or None once deleted
        self.index, self.inconsistent = {}, False
        self.check_rat, self.apply_deletions = check_rat, apply_deletions
        self.grow([2 * nvars - 1] if nvars else [])

    def grow(self, lits):
        while lits and self.nvars < max(lits) // 2 + 1:
            self.nvars += 1
            self.vals += [0, 0]
            self.watches += [[], []]
            self.occs += [[], []]

    def insert(self, lits):
        self.grow(lits)
        k, cid, lits = key(lits), len(self.clauses), list(lits)
        if len(lits) >= 2:
            if lits[0] == lits[1]:  # never watch one literal twice when another exists
                for i in range(2, len(lits)):
                    if lits[i] != lits[0]:
                        lits[1], lits[i] = lits[i], lits[1]
                        break
            self.watches[lits[0] ^ 1].append(cid)
            self.watches[lits[1] ^ 1].append(cid)
        if len(k) == 1:
            self.unit_lits.append(lits[0])
        self.clauses.append(lits)
        self.index.setdefault(k, []).append(cid)
        for l in lits:
            self.occs[l].append(cid)
        return cid

    def assign(self, l):
        self.vals[l], self.vals[l ^ 1] = 1, 2
        self.trail.append(l)

    def propagate(self, head):
        """Unit propagation from trail position `head`; True on a conflict."""
        while head < len(self.trail):
            L, head = self.trail[head], head + 1
            F = L ^ 1
            ws, self.watches[L], kept = self.watches[L], [], []
            for i, cid in enumerate(ws):
                c = self.clauses[cid]
                if c is None:
                    continue
                if c[0] == F:
                    c[0], c[1] = c[1], c[0]
                k = next((k for k in range(2, len(c)) if self.vals[c[k]] != 2 and c[k] != c[0]), None)
                if self.vals[c[0]] != 1 and k is not None:
                    c[1], c[k] = c[k], F
                    self.watches[c[1] ^ 1].append(cid)
                    continue
                kept.append(cid)
                if self.vals[c[0]] == 2:
                    self.watches[L] = kept + ws[i + 1:]
                    return True
                if self.vals[c[0]] == 0:
                    self.assign(c[0])
            self.watches[L] = kept
        return False

    def is_rup(self, lits):
        if self.inconsistent:
            return True
        mark = len(self.trail)
        for l in lits:
            if self.vals[l] == 1:
                break
            if self.vals[l] == 0:
                self.assign(l ^ 1)
        else:
            l = None
        result = l is not None or self.propagate(mark)
        while len(self.trail) > mark:
            l = self.trail.pop()
            self.vals[l] = self.vals[l ^ 1] = 0
        return result

    def delete(self, cid):
        c, self.clauses[cid] = self.clauses[cid], None
        self.index[key(c)].pop()
        for w in (c[0] ^ 1, c[1] ^ 1) if len(c) >= 2 else ():
            lst = self.watches[w]
            lst[lst.index(cid)] = lst[-1]
            lst.pop()
        for l in c:
            self.occs[l].remove(cid)

    def is_reason_shape(self, c):
        vals = [self.vals[l] for l in set(c)]
        return vals.count(1) == 1 and 0 not in vals


def ref_check_proof(nvars, clauses, steps, check_rat=True, apply_deletions=True):
    ck = RefChecker(nvars, check_rat, apply_deletions)
    rep = dict(steps=0, rup=0, rat=0, deleted=0, skipped=0, rat_checks=0)

    def result(ok, message, failed=-1, empty=False):
        return (ok, message, rep["steps"], rep["rup"], rep["rat"], rep["deleted"], rep["skipped"],
                rep["rat_checks"], failed, empty)

    for c in clauses:
        ck.insert(list(c))
        if not c:
            ck.inconsistent = True
    for u in [] if ck.inconsistent else ck.unit_lits:
        if ck.vals[u] == 2:
            ck.inconsistent = True
            break
        if ck.vals[u] == 0:
            ck.assign(u)
    ck.inconsistent = ck.inconsistent or ck.propagate(0)
    if ck.inconsistent:
        return result(True, MSG_REFUTED, empty=True)

    for is_deletion, lits in steps:
        lits = list(lits)
        rep["steps"] += 1
        ck.grow(lits)
        if is_deletion:
            ids = ck.index.get(key(lits)) if len(lits) > 1 else None
            if len(lits) <= 1 or (ck.apply_deletions and (not ids or ck.is_reason_shape(ck.clauses[ids[-1]]))):
                rep["skipped"] += 1
            elif ck.apply_deletions:
                ck.delete(ids[-1])
                rep["deleted"] += 1
            continue
        if not lits:
            if ck.is_rup([]):
                rep["rup"] += 1
                return result(True, MSG_OK, empty=True)
            return result(False, MSG_NOT_RAT if check_rat else MSG_NO_RAT, rep["steps"])
        if ck.is_rup(lits):
            rep["rup"] += 1
        elif not check_rat:
            return result(False, MSG_NO_RAT, rep["steps"])
        else:
            p, s = lits[0], set(lits)
            for d in [ck.clauses[cid] for cid in ck.occs[p ^ 1]]:
                if any(l != p ^ 1 and (l ^ 1) in s for l in d):
                    continue
                r = lits + [l for l in d if l != p ^ 1 and l not in s]
                rep["rat_checks"] += 1
                if not ck.is_rup(r):
                    return result(False, MSG_NOT_RAT, rep["steps"])
            rep["rat"] += 1
        # store the accepted lemma
        if any(ck.vals[l] == 1 for l in lits):
            ck.insert(lits)
            continue
        free = [l for l in lits if ck.vals[l] != 2]
        ck.insert(free + [l for l in lits if ck.vals[l] == 2])
        distinct = set(free)
        if not distinct:
            ck.inconsistent = True
        elif len(distinct) == 1:
            mark = len(ck.trail)
            ck.assign(free[0])
            if ck.propagate(mark):
                ck.inconsistent = True
    return result(False, MSG_NO_EMPTY)
