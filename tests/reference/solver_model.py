"""A slow, literal pure-Python model of the native CDCL solver.

Every order, tie-break and counter of the search is reproduced step by step so
that the native `Solver` can be compared with it counter by counter: the same
clauses in the same order with the same options must give the same answer,
model, statistics and proof steps.  Doubles are Python floats (IEEE binary64)
and are computed in the same order as the native code computes them.

Literals are internal literals (2*var + sign, sign 1 = negated).
"""

import math

NO_REASON = 0xFFFFFFFF
U32 = 0xFFFFFFFF
U64 = (1 << 64) - 1

RESTARTS = ("glucose", "luby", "none")
CCMINS = ("deep", "basic", "none")

STAT_NAMES = (
    "decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
    "blocked_restarts", "reductions", "deleted", "max_trail"
)

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

DEFAULTS = dict(
    restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True, target_reset=0,
    walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000, var_decay=0.8, var_decay_max=0.95,
    cla_decay=0.999, luby_base=100.0, first_reduce=2000, reduce_inc=300, glue_keep=2, block_restart=True,
    rnd_freq=0.0, rnd_seed=91648253
)


class Config:
    """The twenty search options, with their defaults."""

    __slots__ = tuple(DEFAULTS)

    def __init__(self, **options):
        unknown = set(options) - set(DEFAULTS)
        if unknown:
            raise TypeError(f"unknown options {sorted(unknown)}")
        for name, default in DEFAULTS.items():
            setattr(self, name, options.get(name, default))
        if self.restart not in RESTARTS:
            raise ValueError(f"unknown restart {self.restart!r}")
        if self.ccmin not in CCMINS:
            raise ValueError(f"unknown ccmin {self.ccmin!r}")
        for name in ("var_decay", "var_decay_max", "cla_decay", "luby_base", "rnd_freq"):
            setattr(self, name, float(getattr(self, name)))
        self.rnd_seed &= U32


class Ema:
    """Exponential moving average whose factor starts at 1 and halves towards alpha."""

    __slots__ = ("value", "alpha", "beta", "wait", "period")

    def __init__(self, alpha):
        self.value = 0.0
        self.alpha = alpha
        self.beta, self.wait, self.period = 1.0, 0, 0

    def update(self, sample):
        self.value += self.beta * (float(sample) - self.value)
        if self.beta > self.alpha and self.wait == 0:
            self.beta = self.beta * 0.5
            self.period = 2 * self.period + 1
            self.wait = self.period
        elif self.wait > 0:
            self.wait -= 1


def luby(x):
    size, seq = 1, 0
    while size < x + 1:
        seq += 1
        size = 2 * size + 1
    while size - 1 != x:
        size = (size - 1) // 2
        seq -= 1
        x = x % size
    return 2**seq


def fdiv(a, b):
    """IEEE-754 division: x / 0 is a signed infinity (NaN for 0 / 0) instead of an exception."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def to_dimacs(lit):
    return -((lit >> 1) + 1) if lit & 1 else (lit >> 1) + 1


class RefSolver:
    def __init__(self, nvars=0, **options):
        self.cfg = cfg = Config(**options)
        # clause store
        self.arena, self.c_start, self.c_len, self.c_act, self.c_glue, self.c_learnt = [], [], [], [], [], []
        self.c_deleted, self.problem, self.learnts = [], [], []
        # assignment
        self.vals, self.level, self.reason, self.trail, self.trail_lim, self.qhead = [], [], [], [], [], 0
        self.watches = []
        # order
        self.activity, self.heap, self.indices, self.var_inc, self.cla_inc = [], [], [], 1.0, 1.0
        self.var_decay_now = cfg.var_decay
        # phases
        self.phase, self.target, self.best_trail, self.target_synced = [], [], 0, 0
        # analysis
        self.seen, self.toclear, self.level_stamp, self.stamp = [], [], [], 0
        # restarts
        self.ema_fast = Ema(0.02)
        self.ema_slow = Ema(0.0002)
        self.ema_trail = Ema(0.0002)
        self.luby_index, self.last_restart = 0, 0
        # reduction
        self.next_reduce = cfg.first_reduce
        self.reduce_count = 0
        # simplification / walk / random
        self.simp_props = 0
        self.walk_best = U64
        self.walk_fails = 0
        self.rng = cfg.rnd_seed
        # control and results
        self.ok, self.proof_on, self.clause_added, self.model, self.proof = True, False, False, [], []
        self.nvars = 0
        for name in STAT_NAMES:
            setattr(self, name, 0)
        for _ in range(nvars):
            self.new_var()

    # ----------------------------------------------------------------- public face

    def stats(self):
        return {name: getattr(self, name) for name in STAT_NAMES}

    def enable_proof(self):
        if self.clause_added:
            raise ValueError(
                "enable_proof() must be called before any clause is added: "
                "a proof that starts midway through the formula is not a proof"
            )
        self.proof_on = True

    def proof_steps(self):
        return [("d" if is_del else "a", [to_dimacs(l) for l in lits]) for is_del, lits in self.proof]

    def decision_level(self):
        return len(self.trail_lim)

    # ----------------------------------------------------------------- variables and heap

    def new_var(self):
        v = self.nvars
        self.nvars += 1
        self.vals += [0, 0]
        self.level.append(0)
        self.reason.append(NO_REASON)
        self.watches += [[], []]
        self.activity.append(0.0)
        self.phase.append(self.cfg.init_phase)
        self.target.append(False)
        self.seen.append(False)
        self.level_stamp.append(0)
        while len(self.indices) < self.nvars:
            self.indices.append(-1)
        self.heap_insert(v)
        return v

    def better(self, a, b):
        act = self.activity
        return act[a] > act[b] or (act[a] == act[b] and a < b)

    def heap_insert(self, v):
        while len(self.indices) < v + 1:
            self.indices.append(-1)
        if self.indices[v] < 0:
            self.heap.append(v)
            self.indices[v] = len(self.heap) - 1
            self.heap_up(len(self.heap) - 1)

    def heap_up(self, i):
        heap, indices = self.heap, self.indices
        x = heap[i]
        while i > 0:
            p = (i - 1) // 2
            if self.better(x, heap[p]):
                heap[i] = heap[p]
                indices[heap[i]] = i
                i = p
            else:
                break
        heap[i] = x
        indices[x] = i

    def heap_remove_best(self):
        heap, indices = self.heap, self.indices
        top = heap[0]
        indices[top] = -1
        last = heap.pop()
        if heap:
            heap[0] = last
            indices[last] = 0
            n = len(heap)
            i = 0
            while True:
                left = 2 * i + 1
                if left >= n:
                    break
                right = left + 1
                child = right if right < n and self.better(heap[right], heap[left]) else left
                if self.better(heap[child], last):
                    heap[i] = heap[child]
                    indices[heap[i]] = i
                    i = child
                else:
                    break
            heap[i] = last
            indices[last] = i
        return top

    def bump_var(self, v):
        self.activity[v] += self.var_inc
        if self.activity[v] > 1e100:
            act = self.activity
            for u in range(self.nvars):
                act[u] *= 1e-100
            self.var_inc *= 1e-100
        if self.indices[v] >= 0:
            self.heap_up(self.indices[v])

    def bump_clause(self, ci):
        self.c_act[ci] += self.cla_inc
        if self.c_act[ci] > 1e20:
            for cj in self.learnts:
                self.c_act[cj] *= 1e-20
            self.cla_inc *= 1e-20

    # ----------------------------------------------------------------- clauses and propagation

    def lits(self, ci):
        s = self.c_start[ci]
        return self.arena[s : s + self.c_len[ci]]

    def enqueue(self, lit, reason):
        self.vals[lit] = 1
        self.vals[lit ^ 1] = 2
        self.level[lit >> 1] = len(self.trail_lim)
        self.reason[lit >> 1] = reason
        self.trail.append(lit)

    def attach(self, ci):
        s = self.c_start[ci]
        c0, c1 = self.arena[s], self.arena[s + 1]
        self.watches[c0 ^ 1].append((ci, c1))
        self.watches[c1 ^ 1].append((ci, c0))

    def detach(self, ci):
        s = self.c_start[ci]
        for lit in (self.arena[s], self.arena[s + 1]):
            ws = self.watches[lit ^ 1]
            for k, w in enumerate(ws):
                if w[0] == ci:
                    del ws[k]
                    break

    def locked(self, ci):
        c0 = self.arena[self.c_start[ci]]
        return self.vals[c0] == 1 and self.reason[c0 >> 1] == ci

    def propagate(self):
        vals, arena, trail, watches = self.vals, self.arena, self.trail, self.watches
        conflict = None
        count = 0
        while self.qhead < len(trail):
            p = trail[self.qhead]
            self.qhead += 1
            count += 1
            f = p ^ 1
            ws = watches[p]
            watches[p] = []
            n = len(ws)
            i = j = 0
            while i < n:
                ci, blocker = ws[i]
                if vals[blocker] == 1:
                    ws[j] = ws[i]
                    j += 1
                    i += 1
                    continue
                s = self.c_start[ci]
                if arena[s] == f:
                    arena[s] = arena[s + 1]
                    arena[s + 1] = f
                first = arena[s]
                if first != blocker and vals[first] == 1:
                    ws[j] = (ci, first)
                    j += 1
                    i += 1
                    continue
                found = False
                for k in range(s + 2, s + self.c_len[ci]):
                    if vals[arena[k]] != 2:
                        arena[s + 1] = arena[k]
                        arena[k] = f
                        watches[arena[s + 1] ^ 1].append((ci, first))
                        found = True
                        break
                if found:
                    i += 1
                    continue
                ws[j] = (ci, first)
                j += 1
                i += 1
                if vals[first] == 2:
                    self.qhead = len(trail)
                    while i < n:
                        ws[j] = ws[i]
                        j += 1
                        i += 1
                    conflict = ci
                    break
                self.enqueue(first, ci)
            del ws[j:]
            watches[p] = ws
            if conflict is not None:
                break
        self.propagations += count
        if len(trail) > self.max_trail:
            self.max_trail = len(trail)
        return conflict

    def cancel_until(self, lvl):
        if lvl >= len(self.trail_lim):
            return
        lim = self.trail_lim[lvl]
        for pos in range(len(self.trail) - 1, lim - 1, -1):
            lit = self.trail[pos]
            v = lit >> 1
            self.vals[lit] = 0
            self.vals[lit ^ 1] = 0
            self.reason[v] = NO_REASON
            if self.cfg.phase_saving:
                self.phase[v] = (lit & 1) == 0
            self.heap_insert(v)
        del self.trail[lim:]
        del self.trail_lim[lvl:]
        self.qhead = lim
        self.target_synced = min(self.target_synced, lim)

    def store_clause(self, lits, learnt, activity, glue):
        ci = len(self.c_start)
        self.c_start.append(len(self.arena))
        self.arena.extend(lits)
        self.c_len.append(len(lits))
        self.c_act.append(activity)
        self.c_glue.append(glue)
        self.c_learnt.append(learnt)
        self.c_deleted.append(False)
        return ci

    def log_add(self, lits):
        if self.proof_on:
            self.proof.append((False, list(lits)))

    def log_delete(self, lits):
        if self.proof_on:
            self.proof.append((True, list(lits)))

    def add_clause(self, lits):
        self.clause_added = True
        if not self.ok:
            return False
        if self.trail_lim:
            self.cancel_until(0)
        met = set()
        out = []
        for lit in lits:
            while self.nvars <= lit >> 1:
                self.new_var()
            if lit in met:
                continue
            if lit ^ 1 in met:
                return True
            met.add(lit)
            if self.vals[lit] == 1:
                return True
            if self.vals[lit] == 2:
                continue
            out.append(lit)
        if not out:
            self.log_add([])
            self.ok = False
            return False
        if len(out) == 1:
            self.enqueue(out[0], NO_REASON)
            if self.propagate() is not None:
                self.log_add([])
                self.ok = False
                return False
            return True
        ci = self.store_clause(out, False, 0.0, 0)
        self.problem.append(ci)
        self.attach(ci)
        return True

    # ----------------------------------------------------------------- conflict analysis

    def count_glue(self, lits):
        self.stamp += 1
        stamp = self.stamp
        n = 0
        for lit in lits:
            lv = self.level[lit >> 1]
            while len(self.level_stamp) <= lv:
                self.level_stamp.append(0)
            if self.level_stamp[lv] != stamp:
                self.level_stamp[lv] = stamp
                n += 1
        return n

    def lit_redundant(self, lit, abstract):
        seen, level, reason = self.seen, self.level, self.reason
        stack = [lit]
        top = len(self.toclear)
        while stack:
            q = stack.pop()
            c = self.lits(reason[q >> 1])
            if len(c) < 2:
                continue
            for r in c[1:]:
                v = r >> 1
                if not seen[v] and level[v] != 0:
                    if reason[v] != NO_REASON and (abstract >> (level[v] % 32)) & 1:
                        seen[v] = True
                        stack.append(r)
                        self.toclear.append(r)
                    else:
                        for x in self.toclear[top:]:
                            seen[x >> 1] = False
                        del self.toclear[top:]
                        return False
        return True

    def analyze(self, confl):
        seen, level, trail = self.seen, self.level, self.trail
        cur = len(self.trail_lim)
        learnt = [None]
        path_c = 0
        i = len(trail)
        ci = confl
        startpos = 0
        while True:
            if self.c_learnt[ci]:
                self.bump_clause(ci)
            c = self.lits(ci)
            if self.c_glue[ci] >= 3:
                g = self.count_glue(c)
                if g < self.c_glue[ci]:
                    self.c_glue[ci] = g
            for q in c[startpos:]:
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
            ci = self.reason[p >> 1]
            seen[p >> 1] = False
            path_c -= 1
            startpos = 1
            if path_c <= 0:
                break
        learnt[0] = p ^ 1
        self.toclear = list(learnt)

        mode = self.cfg.ccmin
        before = len(learnt)
        if mode == "basic":
            out = [learnt[0]]
            for lit in learnt[1:]:
                r = self.reason[lit >> 1]
                if r == NO_REASON:
                    out.append(lit)
                    continue
                c = self.lits(r)
                if len(c) < 2 or all(seen[x >> 1] or level[x >> 1] == 0 for x in c[1:]):
                    continue
                out.append(lit)
            learnt = out
        elif mode == "deep":
            abstract = 0
            for lit in learnt[1:]:
                abstract |= 1 << (level[lit >> 1] % 32)
            out = [learnt[0]]
            for lit in learnt[1:]:
                if self.reason[lit >> 1] == NO_REASON or not self.lit_redundant(lit, abstract):
                    out.append(lit)
            learnt = out
        self.minimized_lits += before - len(learnt)

        if len(learnt) == 1:
            bj = 0
        else:
            best = 1
            for k in range(2, len(learnt)):
                if level[learnt[k] >> 1] > level[learnt[best] >> 1]:
                    best = k
            learnt[1], learnt[best] = learnt[best], learnt[1]
            bj = level[learnt[1] >> 1]

        glue = self.count_glue(learnt)

        for lit in self.toclear:
            seen[lit >> 1] = False
        self.toclear = []

        self.ema_fast.update(glue)
        self.ema_slow.update(glue)
        self.ema_trail.update(len(trail))
        if (
            self.cfg.block_restart
            and self.conflicts >= 10000
            and self.ema_trail.value * 1.4 < float(len(trail))
        ):
            self.blocked_restarts += 1
            self.last_restart = self.conflicts

        self.cancel_until(bj)
        self.learned += 1
        self.learned_lits += len(learnt)
        self.log_add(learnt)
        if len(learnt) >= 2:
            ci = self.store_clause(learnt, True, self.cla_inc, glue)
            self.learnts.append(ci)
            self.attach(ci)
            self.enqueue(learnt[0], ci)
        else:
            self.enqueue(learnt[0], NO_REASON)

        self.var_inc = fdiv(self.var_inc, self.var_decay_now)
        self.cla_inc = fdiv(self.cla_inc, self.cfg.cla_decay)
        if self.var_decay_now < self.cfg.var_decay_max:
            self.var_decay_now = min(self.var_decay_now + 0.01, self.cfg.var_decay_max)
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
        cands = [
            ci
            for ci in self.learnts
            if not self.c_deleted[ci]
            and self.c_glue[ci] > cfg.glue_keep
            and self.c_len[ci] >= 3
            and not self.locked(ci)
        ]
        cands.sort(key=lambda ci: (-self.c_glue[ci], self.c_act[ci]))
        for ci in cands[: len(cands) // 2]:
            self.log_delete(self.lits(ci))
            self.detach(ci)
            self.c_deleted[ci] = True
            self.deleted += 1
        self.learnts = [ci for ci in self.learnts if not self.c_deleted[ci]]

    # ----------------------------------------------------------------- top-level simplification

    def simplify(self):
        if self.propagate() is not None:
            return self.simplify_unsat()
        vals = self.vals
        for which in ("learnts", "problem"):
            kept = []
            for ci in getattr(self, which):
                if self.c_deleted[ci]:
                    continue
                if self.locked(ci):
                    kept.append(ci)
                    continue
                c = self.lits(ci)
                if any(vals[l] == 1 for l in c):
                    self.log_delete(c)
                    self.detach(ci)
                    self.c_deleted[ci] = True
                    continue
                if not any(vals[l] == 2 for l in c):
                    kept.append(ci)
                    continue
                short = [l for l in c if vals[l] != 2]
                self.log_add(short)
                self.detach(ci)
                self.log_delete(c)
                s = self.c_start[ci]
                self.arena[s : s + len(short)] = short
                self.c_len[ci] = len(short)
                self.attach(ci)
                kept.append(ci)
            setattr(self, which, kept)
        if self.propagate() is not None:
            return self.simplify_unsat()
        self.simp_props = self.propagations
        return True

    def simplify_unsat(self):
        self.log_add([])
        self.ok = False
        return False

    # ----------------------------------------------------------------- search

    def draw(self):
        x = self.rng
        x ^= (x << 13) & U32
        x ^= x >> 17
        x ^= (x << 5) & U32
        self.rng = x
        return float(x) * 2.3283064365386963e-10

    def update_target(self):
        if len(self.trail) > self.best_trail:
            self.best_trail = len(self.trail)
            for pos in range(self.target_synced, len(self.trail)):
                lit = self.trail[pos]
                self.target[lit >> 1] = (lit & 1) == 0
            self.target_synced = len(self.trail)

    def restart_due(self):
        mode = self.cfg.restart
        since = self.conflicts - self.last_restart
        if mode == "glucose":
            return since >= 50 and self.ema_fast.value * 0.8 > self.ema_slow.value
        if mode == "luby":
            return since >= 1 and self.cfg.luby_base * float(luby(self.luby_index)) <= float(since)
        return False

    def do_restart(self):
        cfg = self.cfg
        self.restarts += 1
        self.luby_index += 1
        self.last_restart = self.conflicts
        if cfg.target_reset > 0 and self.restarts % cfg.target_reset == 0:
            self.best_trail = 0
        if (
            cfg.walk_flips > 0
            and self.conflicts >= cfg.walk_min_conflicts
            and self.walk_fails < cfg.walk_patience
            and cfg.walk_interval > 0
            and self.restarts % cfg.walk_interval == 0
        ):
            self.cancel_until(0)
            self.phase_walk()
        self.cancel_until(0)

    def pick_branch(self):
        """Returns the decision variable, or None when every variable is assigned."""
        v = None
        if self.cfg.rnd_freq > 0:
            u = self.draw()
            if u < self.cfg.rnd_freq and self.heap:
                x = self.heap[int(self.draw() * float(len(self.heap)))]
                if self.vals[2 * x] == 0:
                    v = x
        while v is None:
            if not self.heap:
                return None
            x = self.heap_remove_best()
            if self.vals[2 * x] == 0:
                v = x
        return v

    def solve(self, max_conflicts=None):
        self.clause_added, self.model = True, []
        if not self.ok:
            return False
        self.cancel_until(0)
        n = 0
        while True:
            exhausted = max_conflicts is not None and n >= max_conflicts
            if not exhausted:
                while True:
                    confl = self.propagate()
                    if confl is not None:
                        break
                    if self.cfg.target_phase:
                        self.update_target()
                    if self.restart_due():
                        self.do_restart()
                        continue
                    if not self.trail_lim and self.propagations > self.simp_props:
                        if not self.simplify():
                            return False
                    v = self.pick_branch()
                    if v is None:
                        self.model = [self.vals[2 * u] == 1 for u in range(self.nvars)]
                        return True
                    self.decisions += 1
                    self.trail_lim.append(len(self.trail))
                    pol = self.target[v] if self.cfg.target_phase else self.phase[v]
                    self.enqueue(2 * v + (0 if pol else 1), NO_REASON)
            else:
                confl = self.propagate()
                if confl is None:
                    if self.cfg.target_phase:
                        self.update_target()
                    self.cancel_until(0)
                    return None
            self.conflicts += 1
            if not self.trail_lim:
                self.log_add([])
                self.ok = False
                return False
            n += 1
            self.analyze(confl)

    # ----------------------------------------------------------------- phase walk

    def phase_walk(self):
        cfg = self.cfg
        nv = self.nvars
        wc = []
        for ci in range(len(self.c_start)):
            if not self.c_learnt[ci] and not self.c_deleted[ci] and self.c_len[ci] >= 2:
                wc.append(self.lits(ci))
        occ = [[] for _ in range(2 * nv)]
        for j, c in enumerate(wc):
            for lit in c:
                occ[lit].append(j)
        assign = list(self.target if cfg.target_phase else self.phase)
        for v in range(nv):
            if self.vals[2 * v] != 0:
                assign[v] = self.vals[2 * v] == 1

        def is_true(lit):
            return assign[lit >> 1] == ((lit & 1) == 0)

        true_count = [sum(1 for lit in c if is_true(lit)) for c in wc]
        unsat = []
        pos = [None] * len(wc)
        for j, t in enumerate(true_count):
            if t == 0:
                pos[j] = len(unsat)
                unsat.append(j)
        best = len(unsat)
        best_assign = list(assign)
        flips = 0
        while unsat:
            c = wc[unsat[int(self.draw() * float(len(unsat)))]]
            cands = []
            total = 0.0
            for lit in c:
                v = lit >> 1
                t = 2 * v if assign[v] else 2 * v + 1
                brk = sum(1 for j in occ[t] if true_count[j] == 1)
                w = BREAK_WEIGHT[min(brk, 32)]
                cands.append((v, w))
                total += w
            r = self.draw() * total
            acc = 0.0
            pick = cands[-1][0]
            for v, w in cands:
                acc += w
                if acc >= r:
                    pick = v
                    break
            flips += 1
            t = 2 * pick if assign[pick] else 2 * pick + 1
            for j in occ[t]:
                true_count[j] -= 1
                if true_count[j] == 0:
                    pos[j] = len(unsat)
                    unsat.append(j)
            assign[pick] = not assign[pick]
            for j in occ[t ^ 1]:
                if true_count[j] == 0:
                    p = pos[j]
                    last = unsat[-1]
                    unsat[p] = last
                    pos[last] = p
                    unsat.pop()
                    pos[j] = None
                true_count[j] += 1
            if len(unsat) < best:
                best = len(unsat)
                best_assign = list(assign)
            if flips == cfg.walk_flips:
                break
        if best < self.walk_best:
            self.walk_best = best
            self.walk_fails = 0
        else:
            self.walk_fails += 1
        self.target = list(best_assign)
        self.phase = list(best_assign)
        self.best_trail, self.target_synced = 0, 0
