"""Solving under assumptions: answers, models, cores and their proof steps against brute force and, on benchmark
instances, by solving again; propagate against a plain propagation, leaving no trace."""
import random
import subprocess
import sys

import pytest

import norvane_native as nn
from conftest import bench, brute_force_sat, pigeonhole, random_cnf, satisfies, solver, stats, to_steps

# Option sets that restart, walk and reduce often, so that all of it happens under assumptions.
OPTIONS = [{}, dict(luby_base=1.0, walk_min_conflicts=0, walk_flips=10, first_reduce=3, reduce_inc=1),
           dict(restart="glucose", ccmin="basic", rnd_freq=0.3, rnd_seed=7, target_reset=1),
           dict(restart="none", ccmin="none", phase_saving=False, target_phase=False)]


def observed(s):
    return stats(s), s.model, s.core(), s.proof_steps(), s.ok


def random_assumptions(r, nvars, k):
    """k literals, now and then repeated, contradicted or over a variable beyond the formula."""
    out = []
    for _ in range(k):
        x = r.random()
        if out and x < 0.1:
            out.append(r.choice(out))
        elif out and x < 0.2:
            out.append(r.choice(out) ^ 1)
        else:
            out.append(r.randrange(2 * nvars + (4 if x < 0.25 else 0)))
    return out


def check_answer(s, clauses, nvars, assumptions, r):
    """The answer under `assumptions` against brute force; model or core, and the core's proof step."""
    n, units = max([nvars] + [(a >> 1) + 1 for a in assumptions]), [[a] for a in assumptions]
    assert r == brute_force_sat(n, clauses + units) and s.check_watch_invariant() == []
    if r:
        assert s.core() == [] and satisfies(clauses + units, s.model)
        return
    core = s.core()
    assert s.model == []
    if not s.ok:  # the formula itself was refuted
        assert core == [] and s.proof_steps()[-1] == ("a", []) and not brute_force_sat(n, clauses)
        return
    assert core and core == [a for a in dict.fromkeys(assumptions) if a in core]
    assert not brute_force_sat(n, clauses + [[a] for a in core])
    assert s.proof_steps()[-1] == ("a", [nn.to_dimacs(a ^ 1) for a in core])


# ---------------------------------------------------------------- solve under assumptions


@pytest.mark.parametrize("seed", range(160))
def test_assumptions_against_brute_force(seed):
    """Calls under random assumptions, then a plain solve; every lemma of the joint proof verifies against the
    formula alone (so the proofs of a split's cubes, each ending in its core's negation, refute it)."""
    r = random.Random(seed)
    nvars = r.randint(2, 9)
    clauses = random_cnf(r, nvars, r.randint(nvars, 5 * nvars))
    s = solver(nvars, clauses, **OPTIONS[seed % len(OPTIONS)])
    for _ in range(4):
        assumptions = random_assumptions(r, nvars, r.randint(0, 6))
        check_answer(s, clauses, nvars, assumptions, s.solve(assumptions=assumptions))
    assert s.solve() == brute_force_sat(s.nvars, clauses)
    assert not s.ok or satisfies(clauses, s.model)
    verdict = nn.check_proof(s.nvars, clauses, to_steps(s.proof_steps()), check_rat=False)
    assert verdict[8] == -1 and verdict[0] is not s.ok, verdict


@pytest.mark.parametrize("clauses,assumptions,core", [
    ([[0]], [2, 1], [1]),                   # false at level 0: the core is that literal alone
    ([], [2, 4, 3], [2, 3]),                # contradictory: the assumption between them is not involved
    ([[1, 2], [3, 4]], [5, 6, 0], [5, 0]),  # x0 -> x1 -> x2, assumed not x2 and then x0
])
def test_cores_name_only_the_assumptions_involved(clauses, assumptions, core):
    s = solver(3, clauses)
    assert s.solve(assumptions=assumptions) is False and s.core() == core and s.ok


def test_new_variables_and_unsatisfiable_formula():
    s = nn.Solver(1)
    assert s.solve(assumptions=[9, 3, 4]) is True and s.nvars == 5 and s.model == [False, False, True, False, False]
    assert s.decisions == 2  # x0 and x3; assumption levels are not decisions
    s.add_clauses([[0], [1]])
    assert s.solve(assumptions=[40]) is False and s.core() == [] and s.nvars == 5  # not ok: nothing created
    # a free variable assumed 500 times: the search runs far above 500 empty levels
    nvars, clauses = pigeonhole(5)
    s = solver(nvars, clauses)
    assert s.solve(assumptions=[2 * nvars] * 500) is False and s.core() == [] and not s.ok
    assert nn.check_proof(nvars, clauses, to_steps(s.proof_steps()), check_rat=False)[0]


def test_restarts_keep_the_assumption_levels():
    """One assumption implies a chain of 2000 literals, which restarts back to level 0 would propagate again."""
    nvars, clauses = pigeonhole(6)
    chain = [[2 * (nvars + i) + 1, 2 * (nvars + i + 1)] for i in range(2000)]
    s = solver(nvars, clauses + chain, proof=False, luby_base=1.0)
    assert s.solve(assumptions=[2 * nvars]) is False
    assert s.restarts > 100 and s.propagations < 2000 * s.restarts / 10


@pytest.mark.parametrize("file", ["uf50-01.cnf.xz", "flat30-1.cnf.xz", "par8-1-c.cnf.xz", "ssa7552-038.cnf.xz"])
def test_bench_cores_solve_again(file):
    """Growing random assumption sets: a core is unsatisfiable with the formula on a fresh solver and again as
    assumptions; a model respects them; then a plain solve, and every lemma of the joint proof verifies."""
    nvars, clauses = bench(file)
    r, s, cores = random.Random(file), solver(nvars, clauses), 0
    for k in [1, 2, 4, 8, 16, 32, 64] * 2:
        assumptions = [r.randrange(2 * nvars) for _ in range(k)]
        ans = s.solve(assumptions=assumptions)
        if ans:
            assert satisfies(clauses + [[a] for a in assumptions], s.model)
            continue
        core = s.core()
        assert ans is False and s.ok and core == [a for a in dict.fromkeys(assumptions) if a in core]
        assert solver(nvars, clauses + [[a] for a in core], proof=False).solve() is False
        assert s.proof_steps()[-1] == ("a", [nn.to_dimacs(a ^ 1) for a in core])
        assert s.solve(assumptions=core[::-1]) is False and set(s.core()) <= set(core)
        cores += 1
    assert cores >= 3
    assert s.solve() is True and satisfies(clauses, s.model) and s.max_trail == s.nvars
    assert nn.check_proof(nvars, clauses, to_steps(s.proof_steps()), check_rat=False)[8] == -1


# ---------------------------------------------------------------- propagate


def closure(clauses, lits):
    """Plain unit propagation: (no conflict, set of true literals)."""
    true = set(lits)
    while all(l ^ 1 not in true for l in true):
        free = [{l for l in c if l ^ 1 not in true} for c in clauses if not any(l in true for l in c)]
        units = set().union(*(f for f in free if len(f) == 1))
        if set() in free or not units:
            return set() not in free, true
        true |= units
    return False, true


@pytest.mark.parametrize("seed", range(150))
def test_propagate_against_plain_propagation(seed):
    """Answer and implied literals as plain propagation finds them, each an assumption or a clause's last open
    literal, in order."""
    r = random.Random(500 + seed)
    nvars = r.randint(2, 12)
    clauses = random_cnf(r, nvars, r.randint(1, 4 * nvars), maxlen=5)
    ok0, top = closure(clauses, [])
    s = solver(nvars, clauses)
    assert s.ok == ok0
    for _ in range(4):
        assumptions = random_assumptions(r, s.nvars, r.randint(0, 5))
        if r.random() < 0.3 and top:
            assumptions.insert(r.randrange(len(assumptions) + 1), r.choice(sorted(top)))  # true at level 0
        ok, implied = s.propagate(assumptions)
        want_ok, want = closure(clauses, assumptions)
        assert ok == (ok0 and want_ok)
        if ok:
            assert set(implied) == want - top and len(implied) == len(set(implied))
        elif not ok0:
            assert implied == []
        true = set(top)
        for l in implied:
            assert l not in true and l ^ 1 not in true
            assert l in assumptions or any(
                l in c and all(m == l or m ^ 1 in true for m in c) for c in clauses), (l, implied)
            true.add(l)
        assert s.check_watch_invariant() == []


@pytest.mark.parametrize("seed", range(25))
def test_propagate_leaves_no_trace(seed):
    """A solver that propagates between its calls (also from a Sat level) searches exactly like its twin that
    does not: counters, models, cores and proofs."""
    r = random.Random(700 + seed)
    nvars = r.randint(25, 50)
    clauses = random_cnf(r, nvars, int(4.2 * nvars), maxlen=3, minlen=3)
    opts = OPTIONS[seed % len(OPTIONS)]
    s, twin = solver(nvars, clauses, **opts), solver(nvars, clauses, **opts)
    for _ in range(4):
        s.propagate(random_assumptions(r, nvars, r.randint(1, 8)))
        assert observed(s) == observed(twin)
        budget, assumptions = r.choice([5, 40, None]), random_assumptions(r, nvars, r.randint(0, 3))
        # without assumptions, None, () and no argument at all are the same plain search
        kw = {"assumptions": assumptions} if assumptions else r.choice([{}, {"assumptions": None}])
        assert s.solve(budget, **kw) == twin.solve(budget, assumptions=tuple(assumptions))
        assert observed(s) == observed(twin)
    s.propagate([0, 2])
    assert s.solve() == twin.solve() and observed(s) == observed(twin)


def test_propagate_cases():
    s = solver(4, [[1, 2], [3, 4], [0]], proof=False)  # x0 -> x1 -> x2, and x0 at level 0
    assert s.propagate([0, 7, 0]) == (True, [7])          # true at level 0, repeated: not listed
    assert s.propagate([7, 6]) == (False, [7])            # contradictory: stops before the second
    assert s.propagate([5]) == (False, [])                # x2 is implied at level 0
    assert s.propagate([20, 6, 20, 21]) == (False, [20, 6])  # beyond the solver: compared, not created
    assert s.nvars == 4 and s.propagations == 3 and s.max_trail == 3


def test_propagate_long_clauses_in_bounded_memory():
    """Propagating a long clause's literals one by one stays linear (a side list once grew exponentially)."""
    code = """if 1:
        import os, resource
        import norvane_native as nn
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        n = 200
        s = nn.Solver()
        s.add_clause([2 * v for v in range(n)])
        s.add_clause([2 * v + 1 for v in range(n)])
        ok, implied = s.propagate([2 * v + 1 for v in range(n - 1)])
        assert ok and implied[-1] == 2 * (n - 1), implied[-3:]
        """
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
