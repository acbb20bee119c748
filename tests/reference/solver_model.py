"""A slow, literal pure-Python model of the native CDCL solver.

Every order, tie-break and counter of the search is reproduced step by step so that the native
`Solver` can be compared with it counter by counter: the same clauses in the same order with the same
options must give the same answer, model, statistics and proof steps.  Doubles are Python floats
(IEEE binary64), computed in the same order as the native code computes them.

Literals are internal literals (2*var + sign, sign 1 = negated).
"""

import itertools
import math

from conftest import STATS

U32 = 0xFFFFFFFF
U64 = (1 << 64) - 1

RESTARTS = ("glucose", "luby", "none")
CCMINS = ("deep", "basic", "none")

# (0.9 + b) ** -2.06 for b = 0 .. 32, as the nearest doubles (pow may differ in the last bit).
BREAK_WEIGHT = (
    1.2423971044693904, 0.2665431844564756, 0.11154757268716438, 0.06059083109242785, 0.0378613482436238,
    0.02582526912626813, 0.018705566831429692, 0.0141542933420601, 0.011072777835612904, 0.00889183712824521,
    0.007292919406638117, 0.006086578947728128, 0.005154484010820045, 0.004419666621745944, 0.003830330838618274,
    0.0033505949060830035, 0.0029549721254695433, 0.0026249604007938013, 0.00234686810854462,
    0.0021103897194995175, 0.001907649796755619, 0.001732547393265342, 0.001580297694020363, 0.0014471059328459816,
    0.0013299317216792165, 0.0012263162579798836, 0.0011342539574143936, 0.0010520959317115543,
    0.000978476599632614, 0.0009122573099164859, 0.0008524826176723598, 0.0007983460721352612,
    0.0007491632244617672
)

DEFAULTS = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
                target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
                var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
                reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)


class Config:
    """The twenty search options, with their defaults."""

    def __init__(self, **options):
        assert set(options) <= set(DEFAULTS), options
        self.__dict__.update(DEFAULTS, **options)
        assert self.restart in RESTARTS and self.ccmin in CCMINS, options
        for name in ("var_decay", "var_decay_max", "cla_decay", "luby_base", "rnd_freq"):
            setattr(self, name, float(getattr(self, name)))
        self.rnd_seed &= U32


class Ema:
    """Exponential moving average whose factor starts at 1 and halves towards alpha."""

    def __init__(self, alpha):
        self.value, self.alpha, self.beta, self.wait, self.period = 0.0, alpha, 1.0, 0, 0

    def update(self, sample):
        self.value += self.beta * (float(sample) - self.value)
        if self.beta > self.alpha and self.wait == 0:
            self.beta, self.period = self.beta * 0.5, 2 * self.period + 1
            self.wait = self.period
        elif self.wait > 0:
            self.wait -= 1


def luby(x):
    size, seq = 1, 0
    while size < x + 1:
        seq, size = seq + 1, 2 * size + 1
    while size - 1 != x:
        size, seq = (size - 1) // 2, seq - 1
        x = x % size
    return 2**seq


def fdiv(a, b):
    """IEEE-754 division: x / 0 is a signed infinity (NaN for 0 / 0) instead of an exception."""
    if b:
        return a / b
    return math.nan if a != a or a == 0 else math.copysign(math.inf, a) * math.copysign(1.0, b)


def to_dimacs(lit):
    return -((lit >> 1) + 1) if lit & 1 else (lit >> 1) + 1


class Clause:
    __slots__ = ("lits", "learnt", "act", "glue", "deleted")

    def __init__(self, lits, learnt, act, glue):
        self.lits, self.learnt, self.act, self.glue, self.deleted = list(lits), learnt, act, glue, False


class RefSolver:
    def __init__(self, nvars=0, **options):
        self.cfg = cfg = Config(**options)
        self.problem, self.learnts = [], []  # live clauses, oldest first
        # assignment: vals by literal (0 free, 1 true, 2 false); reason is a Clause or None
        self.vals, self.level, self.reason, self.watches = [], [], [], []
        self.trail, self.trail_lim, self.qhead = [], [], 0
        # decision order: a binary max-heap on activity (ties: lower variable first)
        self.activity, self.heap, self.indices, self.var_inc, self.cla_inc = [], [], [], 1.0, 1.0
        self.var_decay_now = cfg.var_decay
        self.phase, self.target, self.best_trail, self.target_synced = [], [], 0, 0
        self.seen, self.toclear = [], []
        self.ema_fast, self.ema_slow, self.ema_trail = Ema(0.02), Ema(0.0002), Ema(0.0002)
        self.luby_index, self.last_restart = 0, 0
        self.next_reduce, self.reduce_count = cfg.first_reduce, 0
        self.simp_props, self.walk_best, self.walk_fails, self.rng = 0, U64, 0, cfg.rnd_seed
        self.ok, self.proof_on, self.clause_added, self.model, self.proof = True, False, False, [], []
        self.nvars = 0
        self.__dict__.update(dict.fromkeys(STATS, 0))
        for _ in range(nvars):
            self.new_var()

    # ----------------------------------------------------------------- public face

    def enable_proof(self):
        assert not self.clause_added, "a proof starts with the first clause"
        self.proof_on = True

    def proof_steps(self):
        return [("d" if is_del else "a", [to_dimacs(l) for l in lits]) for is_del, lits in self.proof]

    # ----------------------------------------------------------------- variables and heap

    def new_var(self):
        v = self.nvars
        self.nvars += 1
        self.vals += [0, 0]
        self.watches += [[], []]
        for table, value in ((self.level, 0), (self.reason, None), (self.activity, 0.0), (self.indices, -1),
                             (self.phase, self.cfg.init_phase), (self.target, False), (self.seen, False)):
            table.append(value)
        self.heap_insert(v)
        return v

    def better(self, a, b):
        act = self.activity
        return act[a] > act[b] or (act[a] == act[b] and a < b)

    def heap_insert(self, v):
        if self.indices[v] < 0:
            self.heap.append(v)
            self.heap_up(len(self.heap) - 1)

    def heap_put(self, i, v):
        self.heap[i] = v
        self.indices[v] = i

    def heap_up(self, i):
        x = self.heap[i]
        while i > 0 and self.better(x, self.heap[(i - 1) // 2]):
            self.heap_put(i, self.heap[(i - 1) // 2])
            i = (i - 1) // 2
        self.heap_put(i, x)

    def heap_remove_best(self):
        heap = self.heap
        top, last = heap[0], heap.pop()
        self.indices[top] = -1
        if heap:
            i = 0
            while 2 * i + 1 < len(heap):
                left = 2 * i + 1
                child = left + 1 if left + 1 < len(heap) and self.better(heap[left + 1], heap[left]) else left
                if not self.better(heap[child], last):
                    break
                self.heap_put(i, heap[child])
                i = child
            self.heap_put(i, last)
        return top

    def bump_var(self, v):
        self.activity[v] += self.var_inc
        if self.activity[v] > 1e100:
            self.activity = [a * 1e-100 for a in self.activity]
            self.var_inc *= 1e-100
        if self.indices[v] >= 0:
            self.heap_up(self.indices[v])

    def bump_clause(self, c):
        c.act += self.cla_inc
        if c.act > 1e20:
            for d in self.learnts:
                d.act *= 1e-20
            self.cla_inc *= 1e-20

    # ----------------------------------------------------------------- clauses and propagation

    def enqueue(self, lit, reason):
        self.vals[lit], self.vals[lit ^ 1] = 1, 2
        self.level[lit >> 1], self.reason[lit >> 1] = len(self.trail_lim), reason
        self.trail.append(lit)

    def attach(self, c):
        self.watches[c.lits[0] ^ 1].append((c, c.lits[1]))
        self.watches[c.lits[1] ^ 1].append((c, c.lits[0]))

    def detach(self, c):
        for lit in c.lits[:2]:
            ws = self.watches[lit ^ 1]
            del ws[next(k for k, w in enumerate(ws) if w[0] is c)]

    def drop(self, c):
        self.log(True, c.lits)
        self.detach(c)
        c.deleted = True

    def locked(self, c):
        return self.vals[c.lits[0]] == 1 and self.reason[c.lits[0] >> 1] is c

    def propagate(self):
        """Two watched literals with a blocker each; the watches of a clause that stays keep their order."""
        vals, trail, watches = self.vals, self.trail, self.watches
        conflict, count = None, 0
        while self.qhead < len(trail) and conflict is None:
            p = trail[self.qhead]
            self.qhead += 1
            count += 1
            f = p ^ 1
            ws, watches[p], kept = watches[p], [], []
            for i, (c, blocker) in enumerate(ws):
                if vals[blocker] == 1:
                    kept.append((c, blocker))
                    continue
                lits = c.lits
                if lits[0] == f:
                    lits[0], lits[1] = lits[1], f
                first = lits[0]
                if first != blocker and vals[first] == 1:
                    kept.append((c, first))
                    continue
                k = next((k for k in range(2, len(lits)) if vals[lits[k]] != 2), None)
                if k is not None:
                    lits[1], lits[k] = lits[k], f
                    watches[lits[1] ^ 1].append((c, first))
                    continue
                kept.append((c, first))
                if vals[first] == 2:
                    self.qhead, conflict = len(trail), c
                    kept += ws[i + 1:]
                    break
                self.enqueue(first, c)
            watches[p] = kept
        self.propagations += count
        self.max_trail = max(self.max_trail, len(trail))
        return conflict

    def cancel_until(self, lvl):
        if lvl >= len(self.trail_lim):
            return
        lim = self.trail_lim[lvl]
        for lit in reversed(self.trail[lim:]):
            self.vals[lit] = self.vals[lit ^ 1] = 0
            self.reason[lit >> 1] = None
            if self.cfg.phase_saving:
                self.phase[lit >> 1] = (lit & 1) == 0
            self.heap_insert(lit >> 1)
        del self.trail[lim:], self.trail_lim[lvl:]
        self.qhead, self.target_synced = lim, min(self.target_synced, lim)

    def log(self, deletion, lits):
        if self.proof_on:
            self.proof.append((deletion, list(lits)))

    def refuted(self):
        self.log(False, [])
        self.ok = False
        return False

    def add_clause(self, lits):
        self.clause_added = True
        if not self.ok:
            return False
        self.cancel_until(0)
        out = []
        for lit in lits:
            while self.nvars <= lit >> 1:
                self.new_var()
            if lit ^ 1 in out or self.vals[lit] == 1:
                return True
            if lit not in out and self.vals[lit] != 2:
                out.append(lit)
        if not out:
            return self.refuted()
        if len(out) == 1:
            self.enqueue(out[0], None)
            return self.propagate() is None or self.refuted()
        c = Clause(out, False, 0.0, 0)
        self.problem.append(c)
        self.attach(c)
        return True

    # ----------------------------------------------------------------- conflict analysis

    def count_glue(self, lits):
        return len({self.level[lit >> 1] for lit in lits})

    def reason_seen(self, lit, abstract):
        """Basic minimization: every other literal of the reason is in the clause or fixed."""
        return all(self.seen[x >> 1] or self.level[x >> 1] == 0 for x in self.reason[lit >> 1].lits[1:])

    def lit_redundant(self, lit, abstract):
        """Deep minimization: the reasons lead back to literals of the clause; marks what they pass."""
        seen, level, reason = self.seen, self.level, self.reason
        stack, top = [lit], len(self.toclear)
        while stack:
            for r in reason[stack.pop() >> 1].lits[1:]:
                v = r >> 1
                if seen[v] or level[v] == 0:
                    continue
                if reason[v] is None or not (abstract >> (level[v] % 32)) & 1:
                    for x in self.toclear[top:]:
                        seen[x >> 1] = False
                    del self.toclear[top:]
                    return False
                seen[v] = True
                stack.append(r)
                self.toclear.append(r)
        return True

    def analyze(self, confl):
        seen, level, trail, cfg = self.seen, self.level, self.trail, self.cfg
        cur = len(self.trail_lim)
        learnt, path_c, i, c, skip = [None], 0, len(trail), confl, 0
        while True:
            if c.learnt:
                self.bump_clause(c)
            if c.glue >= 3:
                c.glue = min(c.glue, self.count_glue(c.lits))
            for q in c.lits[skip:]:
                v = q >> 1
                if seen[v] or level[v] == 0:
                    continue
                seen[v] = True
                self.bump_var(v)
                if level[v] < cur:
                    learnt.append(q)
                else:
                    path_c += 1
            i -= 1
            while not seen[trail[i] >> 1]:
                i -= 1
            p = trail[i]
            c, seen[p >> 1], path_c, skip = self.reason[p >> 1], False, path_c - 1, 1
            if path_c <= 0:
                break
        learnt[0] = p ^ 1
        self.toclear = list(learnt)

        before = len(learnt)
        if cfg.ccmin != "none":
            abstract = 0
            for lit in learnt[1:]:
                abstract |= 1 << (level[lit >> 1] % 32)
            redundant = self.lit_redundant if cfg.ccmin == "deep" else self.reason_seen
            learnt = learnt[:1] + [l for l in learnt[1:]
                                   if self.reason[l >> 1] is None or not redundant(l, abstract)]
        self.minimized_lits += before - len(learnt)

        bj = 0
        if len(learnt) > 1:
            best = max(range(1, len(learnt)), key=lambda k: level[learnt[k] >> 1])  # the first of the highest
            learnt[1], learnt[best] = learnt[best], learnt[1]
            bj = level[learnt[1] >> 1]
        glue = self.count_glue(learnt)
        for lit in self.toclear:
            seen[lit >> 1] = False
        self.toclear = []

        self.ema_fast.update(glue)
        self.ema_slow.update(glue)
        self.ema_trail.update(len(trail))
        if cfg.block_restart and self.conflicts >= 10000 and self.ema_trail.value * 1.4 < float(len(trail)):
            self.blocked_restarts += 1
            self.last_restart = self.conflicts

        self.cancel_until(bj)
        self.learned += 1
        self.learned_lits += len(learnt)
        self.log(False, learnt)
        reason = None
        if len(learnt) >= 2:
            reason = Clause(learnt, True, self.cla_inc, glue)
            self.learnts.append(reason)
            self.attach(reason)
        self.enqueue(learnt[0], reason)

        self.var_inc = fdiv(self.var_inc, self.var_decay_now)
        self.cla_inc = fdiv(self.cla_inc, cfg.cla_decay)
        if self.var_decay_now < cfg.var_decay_max:
            self.var_decay_now = min(self.var_decay_now + 0.01, cfg.var_decay_max)
        if self.conflicts >= self.next_reduce:
            self.reduce_db()

    # ----------------------------------------------------------------- reduction

    def reduce_db(self):
        cfg = self.cfg
        self.reduce_count += 1
        # The schedule saturates: a gap too large for 64 bits means "never again", not a
        # wrapped-around threshold that would make every later conflict reduce.
        self.next_reduce = min(U64, cfg.first_reduce + self.reduce_count * self.reduce_count * cfg.reduce_inc)
        self.reductions += 1
        cands = [c for c in self.learnts if c.glue > cfg.glue_keep and len(c.lits) >= 3
                 and not self.locked(c)]
        cands.sort(key=lambda c: (-c.glue, c.act))
        for c in cands[: len(cands) // 2]:
            self.drop(c)
            self.deleted += 1
        self.learnts = [c for c in self.learnts if not c.deleted]

    # ----------------------------------------------------------------- top-level simplification

    def simplify(self):
        if self.propagate() is not None:
            return self.refuted()
        vals = self.vals
        for which in ("learnts", "problem"):
            kept = []
            for c in getattr(self, which):
                if any(vals[l] == 1 for l in c.lits) and not self.locked(c):
                    self.drop(c)
                    continue
                if any(vals[l] == 2 for l in c.lits) and not self.locked(c):
                    short = [l for l in c.lits if vals[l] != 2]
                    self.log(False, short)
                    self.detach(c)
                    self.log(True, c.lits)
                    c.lits = short
                    self.attach(c)
                kept.append(c)
            setattr(self, which, kept)
        if self.propagate() is not None:
            return self.refuted()
        self.simp_props = self.propagations
        return True

    # ----------------------------------------------------------------- search

    def draw(self):
        """xorshift32, scaled to [0, 1)."""
        x = self.rng
        x ^= (x << 13) & U32
        x ^= x >> 17
        x ^= (x << 5) & U32
        self.rng = x
        return float(x) * 2.3283064365386963e-10

    def update_target(self):
        if self.cfg.target_phase and len(self.trail) > self.best_trail:
            self.best_trail = len(self.trail)
            for lit in self.trail[self.target_synced:]:
                self.target[lit >> 1] = (lit & 1) == 0
            self.target_synced = len(self.trail)

    def restart_due(self):
        since = self.conflicts - self.last_restart
        if self.cfg.restart == "glucose":
            return since >= 50 and self.ema_fast.value * 0.8 > self.ema_slow.value
        if self.cfg.restart == "luby":
            return since >= 1 and self.cfg.luby_base * float(luby(self.luby_index)) <= float(since)
        return False

    def do_restart(self):
        cfg = self.cfg
        self.restarts += 1
        self.luby_index += 1
        self.last_restart = self.conflicts
        if cfg.target_reset > 0 and self.restarts % cfg.target_reset == 0:
            self.best_trail = 0
        if (cfg.walk_flips > 0 and self.conflicts >= cfg.walk_min_conflicts
                and self.walk_fails < cfg.walk_patience and cfg.walk_interval > 0
                and self.restarts % cfg.walk_interval == 0):
            self.cancel_until(0)
            self.phase_walk()
        self.cancel_until(0)

    def pick_branch(self):
        """The decision variable, or None when every variable is assigned."""
        if self.cfg.rnd_freq > 0 and self.draw() < self.cfg.rnd_freq and self.heap:
            x = self.heap[int(self.draw() * float(len(self.heap)))]
            if self.vals[2 * x] == 0:
                return x
        while self.heap:
            x = self.heap_remove_best()
            if self.vals[2 * x] == 0:
                return x
        return None

    def solve(self, max_conflicts=None):
        self.clause_added, self.model = True, []
        if not self.ok:
            return False
        self.cancel_until(0)
        n = 0
        while True:
            if max_conflicts is not None and n >= max_conflicts:
                confl = self.propagate()
                if confl is None:
                    self.update_target()
                    self.cancel_until(0)
                    return None
            else:
                while (confl := self.propagate()) is None:
                    self.update_target()
                    if self.restart_due():
                        self.do_restart()
                        continue
                    if not self.trail_lim and self.propagations > self.simp_props and not self.simplify():
                        return False
                    v = self.pick_branch()
                    if v is None:
                        self.model = [self.vals[2 * u] == 1 for u in range(self.nvars)]
                        return True
                    self.decisions += 1
                    self.trail_lim.append(len(self.trail))
                    pol = self.target[v] if self.cfg.target_phase else self.phase[v]
                    self.enqueue(2 * v + (0 if pol else 1), None)
            self.conflicts += 1
            if not self.trail_lim:
                return self.refuted()
            n += 1
            self.analyze(confl)

    # ----------------------------------------------------------------- phase walk

    def phase_walk(self):
        """Random walk over the problem clauses from the saved phases; its best assignment becomes
        both the target and the saved phases."""
        cfg = self.cfg
        wc = [c.lits[:] for c in self.problem if len(c.lits) >= 2]
        occ = [[] for _ in range(2 * self.nvars)]
        for j, c in enumerate(wc):
            for lit in c:
                occ[lit].append(j)
        assign = list(self.target if cfg.target_phase else self.phase)
        for v in range(self.nvars):
            if self.vals[2 * v] != 0:
                assign[v] = self.vals[2 * v] == 1

        def true_lit(v):
            return 2 * v + (0 if assign[v] else 1)

        true_count = [sum(1 for lit in c if true_lit(lit >> 1) == lit) for c in wc]
        unsat = [j for j, t in enumerate(true_count) if t == 0]
        pos = [None] * len(wc)
        for k, j in enumerate(unsat):
            pos[j] = k
        best, best_assign, flips = len(unsat), list(assign), 0
        while unsat:
            c = wc[unsat[int(self.draw() * float(len(unsat)))]]
            # weighted by the clauses each flip would break, picked by the first running sum >= r
            weights = [BREAK_WEIGHT[min(sum(true_count[j] == 1 for j in occ[true_lit(l >> 1)]), 32)]
                       for l in c]
            sums = list(itertools.accumulate(weights))
            r = self.draw() * sums[-1]
            pick = c[next((k for k, acc in enumerate(sums) if acc >= r), len(c) - 1)] >> 1
            flips += 1
            t = true_lit(pick)  # turns false
            for j in occ[t]:
                true_count[j] -= 1
                if true_count[j] == 0:
                    pos[j] = len(unsat)
                    unsat.append(j)
            assign[pick] = not assign[pick]
            for j in occ[t ^ 1]:
                if true_count[j] == 0:
                    last = unsat.pop()
                    if last != j:
                        unsat[pos[j]], pos[last] = last, pos[j]
                true_count[j] += 1
            if len(unsat) < best:
                best, best_assign = len(unsat), list(assign)
            if flips == cfg.walk_flips:
                break
        if best < self.walk_best:
            self.walk_best, self.walk_fails = best, 0
        else:
            self.walk_fails += 1
        self.target, self.phase = list(best_assign), list(best_assign)
        self.best_trail, self.target_synced = 0, 0
