"""Differential tests: the native Solver against the pure-Python reference model.

After every operation (add_clause, solve with or without a conflict budget) the two must agree on the
answer, the model, `ok`, all eleven statistics and the proof steps; models must satisfy the formula, Unsat
proofs must be accepted, and small formulas get the answer of brute force.  Each case is parametrized by
its seed so that a failure names a reproducible case."""

import math
import random

import pytest

import norvane_native as nn
from conftest import STATS, brute_force_sat, pigeonhole, satisfies, to_steps
from reference.solver_model import CCMINS, RESTARTS, RefSolver

# ---------------------------------------------------------------------- formulas


def random_ksat(r, nvars, ratio, k=3, sprinkle=True):
    """Random k-SAT near `ratio` clauses per variable, with a few units, duplicate
    literals and tautologies mixed in when `sprinkle` is set."""
    m = max(1, int(nvars * ratio * r.uniform(0.85, 1.15)))
    out = []
    for _ in range(m):
        c = [2 * r.randrange(nvars) + r.randrange(2) for _ in range(k)]
        if sprinkle:
            x = r.random()
            if x < 0.004:
                c = c[:1]
            elif x < 0.03:
                c = c + [c[r.randrange(k)]]
            elif x < 0.05:
                c.insert(r.randrange(k + 1), c[0] ^ 1)
        out.append(c)
    return out


def random_options(r):
    o = {"restart": r.choice(RESTARTS), "ccmin": r.choice(CCMINS), "phase_saving": r.random() < 0.7,
         "init_phase": r.random() < 0.5, "target_phase": r.random() < 0.6,
         "luby_base": r.choice([1.0, 2.0, 3.5, 8.0, 100.0]), "block_restart": r.random() < 0.5}
    if r.random() < 0.3:
        o["target_reset"] = r.randint(1, 4)
    if r.random() < 0.6:  # keyword arguments are evaluated, and inserted, in order
        o.update(walk_flips=r.choice([1, 3, 10, 50]), walk_min_conflicts=r.randint(0, 50),
                 walk_interval=r.choice([0, 1, 2, 3]), walk_patience=r.choice([0, 1, 3, 100]))
    if r.random() < 0.6:
        o["first_reduce"], o["reduce_inc"] = r.randint(0, 30), r.randint(0, 10)
    if r.random() < 0.3:
        o["glue_keep"] = r.randint(0, 3)
    x = r.random()
    if x < 0.2:
        o["var_decay"] = o["var_decay_max"] = r.choice([0.5, 0.6])
    elif x < 0.3:
        o["var_decay"], o["var_decay_max"] = 0.9, 0.85  # above the maximum: never ramps
    elif x < 0.45:
        o["var_decay"], o["var_decay_max"] = 0.8, r.choice([0.855, 0.9333])  # the ramp's last step is clamped
    if r.random() < 0.3:
        o["cla_decay"] = r.choice([0.5, 0.7])
    if r.random() < 0.4:
        o["rnd_freq"] = r.choice([0.05, 0.3, 1.0])
        o["rnd_seed"] = r.choice([0, 1, 12345, 91648253, 2**32 - 1])
    return o


# ---------------------------------------------------------------------- the pair


class Pair:
    """A native solver and the reference model driven in lockstep."""

    def __init__(self, nvars, proof=True, **options):
        self.ref, self.nat, self.clauses = RefSolver(nvars, **options), nn.Solver(nvars, **options), []
        for s in (self.ref, self.nat) if proof else ():
            s.enable_proof()
        self.log = [f"Solver({nvars}, **{options!r})" + (" + enable_proof()" if proof else "")]

    def call(self, method, *args):
        self.log.append(f"{method}{args}")
        a, b = getattr(self.ref, method)(*args), getattr(self.nat, method)(*args)
        assert a == b, self.where(f"{method}: model {a}, native {b}")
        self.check()
        return a

    def add(self, *clauses):
        for c in clauses:
            self.clauses.append(c)
            self.call("add_clause", c)

    def solve(self, budget=None):
        a = self.call("solve", budget)
        if a is True:
            assert satisfies(self.clauses, self.nat.model), self.where("model does not satisfy the formula")
        if a is False and self.ref.proof_on:
            steps = self.nat.proof_steps()
            assert steps[-1] == ("a", []), self.where("Unsat proof without empty clause")
            ok = nn.check_proof(self.nat.nvars, self.clauses, to_steps(steps), check_rat=False)[0]
            assert ok, self.where("Unsat proof rejected")
        if a is not None and self.nat.nvars <= 10:
            assert a == brute_force_sat(self.nat.nvars, self.clauses), self.where("brute force differs")
        return a

    def check(self):
        for name in STATS + ("nvars", "ok", "model"):
            a, b = getattr(self.ref, name), getattr(self.nat, name)
            assert a == b, self.where(f"{name}: model {a}, native {b}")
        assert self.ref.proof_steps() == self.nat.proof_steps(), self.where("proof steps")
        assert self.nat.check_watch_invariant() == [], self.where("watch invariant")

    def where(self, what):
        return f"{what}\n  after: {' ; '.join(self.log[-6:])}"


def run(nvars, clauses, budgets=(None,), **options):
    """A pair given every clause, then solved with each budget in turn; the pair and its last answer."""
    pair = Pair(nvars, **options)
    pair.add(*clauses)
    return pair, [pair.solve(b) for b in budgets][-1]


# ---------------------------------------------------------------------- differential cases


@pytest.mark.parametrize("seed", range(300))
def test_random_options_incremental(seed):
    r = random.Random(seed)
    nvars = r.randint(5, 40)
    ratio, k = r.choice([(4.26, 3), (4.26, 3), (9.9, 4), (2.0, 2)])
    clauses = random_ksat(r, nvars, ratio, k=k)
    pair = Pair(nvars, proof=r.random() < 0.8, **random_options(r))
    # a prefix, then budgeted solves alternating with more clauses, then a solve to the end
    split = r.randint(0, len(clauses))
    pair.add(*clauses[:split])
    for _ in range(3):
        pair.solve(r.choice([None, 0, 1, 5, 20]))
        more = clauses[split : split + max(1, len(clauses) // 4)]
        split += len(more)
        pair.add(*more)
    pair.add(*clauses[split:])
    pair.solve()


@pytest.mark.parametrize("restart", RESTARTS)
@pytest.mark.parametrize("ccmin", CCMINS)
@pytest.mark.parametrize("seed", range(8))
def test_restart_ccmin_grid(restart, ccmin, seed):
    """Frequent reductions (at every conflict from the tenth on when reduce_inc is 0); with glue_keep below 2
    the recounted glues of used clauses decide the ranking."""
    r = random.Random(1000 + seed)
    nvars = r.randint(30, 50)
    run(nvars, random_ksat(r, nvars, 4.26), (60, None), restart=restart, ccmin=ccmin, luby_base=4.0,
        first_reduce=10, reduce_inc=seed % 4, glue_keep=seed % 3)


@pytest.mark.parametrize("seed", range(60))
def test_phase_walk(seed):
    r = random.Random(2000 + seed)
    nvars = r.randint(30, 60)
    options = {"restart": r.choice(["luby", "luby", "glucose"]), "luby_base": r.choice([1.0, 2.0, 3.0]),
               "walk_flips": r.choice([1, 5, 30, 200]), "walk_min_conflicts": r.randint(0, 50),
               "walk_interval": r.choice([1, 1, 2]), "walk_patience": r.choice([1, 3, 50]),
               "target_phase": r.random() < 0.7, "phase_saving": r.random() < 0.7, "init_phase": r.random() < 0.5}
    if r.random() < 0.5:
        options["rnd_freq"], options["rnd_seed"] = 0.2, r.randrange(2**32)
    run(nvars, random_ksat(r, nvars, 4.26, sprinkle=False), (30, 100, None), **options)


@pytest.mark.parametrize("options", [{}, {"restart": "glucose"}, {"restart": "none", "ccmin": "none"},
                                     {"luby_base": 5.0, "ccmin": "basic"}],
                         ids=["luby", "glucose", "none-none", "luby5-basic"])
def test_activity_rescaling(options):
    """Decay 0.5 doubles the bumps every conflict: variable activities pass 1e100 after
    about 330 conflicts, clause activities pass 1e20 after about 66."""
    pair, _ = run(*pigeonhole(6), (700,), var_decay=0.5, var_decay_max=0.5, cla_decay=0.5, first_reduce=100,
                  reduce_inc=50, **options)
    # Without rescaling both bumps would be 2**conflicts by now.
    n = pair.ref.conflicts
    assert n >= 700 and pair.ref.var_inc < 2.0**n * 1e-99 and pair.ref.cla_inc < 2.0**n * 1e-19


@pytest.mark.parametrize("ccmin", ["deep", "basic"])
@pytest.mark.parametrize("seed", range(12))
def test_deep_decision_levels(ccmin, seed):
    """Unconstrained low-index variables are decided first, so the conflicts of the
    random core happen above decision level 40, where level masks wrap around."""
    r = random.Random(5000 + seed)
    free, core = 45, r.randint(50, 70)
    clauses = [[2 * (free + r.randrange(core)) + r.randrange(2) for _ in range(3)] for _ in range(int(core * 4.3))]
    restart = r.choice(["none", "luby"])
    run(free + core, clauses, (r.choice([None, 30]),), restart=restart, luby_base=50.0, ccmin=ccmin)


@pytest.mark.parametrize("holes", [3, 4, 5, 6])
@pytest.mark.parametrize("options", [
    {}, {"restart": "glucose", "ccmin": "basic"}, {"restart": "none", "ccmin": "none", "target_phase": False},
    {"luby_base": 2.0, "walk_min_conflicts": 0, "walk_flips": 20, "first_reduce": 10, "reduce_inc": 3},
    {"rnd_freq": 0.5, "rnd_seed": 7, "target_reset": 2, "luby_base": 3.0, "glue_keep": 0},
], ids=["default", "glucose-basic", "none-none", "walk-reduce", "random"])
def test_pigeonhole(holes, options):
    assert run(*pigeonhole(holes), **options)[1] is False


@pytest.mark.parametrize("restart,seed", [("glucose", 2), ("luby", 2)])
def test_restart_blocking(restart, seed):
    """Blocking starts at conflict 10000; this instance blocks a few restarts soon after."""
    r = random.Random(seed)
    clauses = [[2 * r.randrange(200) + r.randrange(2) for _ in range(3)] for _ in range(880)]
    pair, _ = run(200, clauses, (10050,), restart=restart)
    assert pair.nat.blocked_restarts > 0
    pair.solve(300)


@pytest.mark.parametrize("options", [
    {"luby_base": 0.0}, {"luby_base": -1.0, "walk_min_conflicts": 0, "walk_flips": 5}, {"luby_base": -math.inf},
    {"luby_base": math.nan, "restart": "luby"}, {"walk_interval": 0, "walk_min_conflicts": 0},
    {"walk_patience": 0, "walk_min_conflicts": 0}, {"reduce_inc": 2**64 - 1, "first_reduce": 5},
    {"first_reduce": 0, "reduce_inc": 0}, {"var_decay": 0.0}, {"cla_decay": 0.0}, {"rnd_freq": math.nan},
    {"rnd_freq": 2.0, "rnd_seed": 0}, {"glue_keep": 2**32 - 1, "first_reduce": 1, "reduce_inc": 0},
    {"target_reset": 1, "luby_base": 1.0},
], ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()))
def test_degenerate_options(options):
    run(60, random_ksat(random.Random(5), 60, 4.26, sprinkle=False), (300, 2000), **options)


def test_clause_edge_cases_and_model_lifetime():
    pair = Pair(3)
    pair.add([])  # the empty clause
    assert pair.solve() is False
    pair = Pair(0)
    assert pair.solve(0) is None and pair.solve() is True  # no variables: empty model
    pair.add([4, 5, 9])  # tautology seen at 5: variable 4 is never created
    assert pair.nat.nvars == 3
    pair.add([6, 6])  # duplicate collapses to a unit
    pair.add([7, 10, 12, 1], [0, 2], [1, 2, 13])  # false literal at level 0 is dropped
    assert pair.solve() is True
    pair.add([3], [2])  # the second contradicts the first
    assert pair.nat.ok is False and pair.nat.model != []  # the old model stays until the next solve
    assert pair.solve() is False and pair.nat.model == []
    pair.add([0])
    assert pair.nat.proof_steps() == [("a", [])]


@pytest.mark.parametrize("seed", range(20))
def test_growing_variables_between_solves(seed):
    """Clauses naming new variables arrive between solve calls on a solver built with none."""
    r = random.Random(4000 + seed)
    pair = Pair(0, **random_options(r))
    nvars = 0
    for _ in range(4):
        nvars += r.randint(3, 10)
        pair.add(*random_ksat(r, nvars, 2.0))
        if r.random() < 0.5:
            pair.call("new_var")  # unconstrained, but still decided
            nvars += 1
        pair.solve(r.choice([None, 3, 10]))
