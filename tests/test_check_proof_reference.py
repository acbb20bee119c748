"""check_proof against the pure-Python checker model, tuple for tuple.

Proofs come from the native Solver and from Preprocessor logs, and are then mutated: steps dropped,
swapped or altered, deletions of input clauses and lemmas (in any literal order, with repeated literals,
units, empty ones), random lemmas that only RAT can accept, literals beyond `nvars`.  Every verdict,
message and counter must match.  Refutations produced by the Solver and the Preprocessor must also be
accepted, and accepted refutations must belong to unsatisfiable formulas.  Worked cases run on both in
test_check_proof.py."""

import random

import pytest

import norvane_native as nn
from conftest import brute_force_sat, drat_binary, drat_text, find_model, solver, to_steps
from reference.checker_model import ref_check_proof

LENGTHS = [2] * 3 + [3] * 10 + [4] * 3 + [5]


def random_clause(rng, nv, repeat_rate=0.05, unit_rate=0.05):
    k = 1 if rng.random() < unit_rate else rng.choice(LENGTHS)
    c = [rng.randrange(2 * nv) for _ in range(k)]
    if rng.random() < repeat_rate:
        c.insert(rng.randrange(len(c) + 1), rng.choice(c))
    return c


def random_formula(rng, nv, n, unit_rate):
    out = []
    for _ in range(n):
        r = rng.random()
        if out and r < 0.03:
            out.append(list(rng.choice(out)))
        elif r < 0.03 + unit_rate / 2:
            l = rng.randrange(2 * nv)
            out.append([l] * rng.randint(2, 3))  # a unit spelt with repeats
        elif r < 0.04 + unit_rate / 2:
            c = random_clause(rng, nv)
            out.append(c + [c[0] ^ 1])  # tautology
        else:
            out.append(random_clause(rng, nv, 0.05, unit_rate))
    if rng.random() < 0.02:
        out.insert(rng.randrange(len(out) + 1), [])
    return out


def preprocessor_proof(rng, nv, clauses):
    p = nn.Preprocessor(nv, do_bve=rng.random() < 0.8, max_resolvent_len=rng.choice([20, 3]), with_proof=True)
    for v in range(nv):
        if rng.random() < 0.1:
            p.freeze(v)
    for c in clauses:
        p.add_clause(c)
    return (False if not p.run(rng.randint(1, 4)) else None), to_steps(p.proof_steps())


def mutate(rng, nv, clauses, steps):
    steps = list(steps)
    pool = [c for c in clauses if c] + [lits for d, lits in steps if not d and lits]

    def some_clause():
        c = list(rng.choice(pool)) if pool else random_clause(rng, nv)
        rng.shuffle(c)
        if rng.random() < 0.2:
            c.append(rng.choice(c))
        return c

    def fresh():  # a literal of a variable beyond the formula
        return 2 * (nv + rng.randint(0, 3)) + rng.randrange(2)

    for _ in range(rng.randint(1, 4)):
        pos, kind = rng.randrange(len(steps) + 1), rng.randrange(11)
        last = min(pos, len(steps) - 1)
        if kind == 0 and steps:
            del steps[last]
        elif kind == 1 and len(steps) >= 2:
            i = rng.randrange(len(steps) - 1)
            steps[i : i + 2] = [steps[i + 1], steps[i]]
        elif kind == 2 and steps:  # a step altered
            lits, op = list(steps[last][1]), rng.randrange(4)
            if op == 0 and lits:
                lits[rng.randrange(len(lits))] ^= 1
            elif op == 1 and lits:
                del lits[rng.randrange(len(lits))]
            elif op == 2:
                lits.insert(rng.randrange(len(lits) + 1), rng.randrange(2 * nv))
            else:
                rng.shuffle(lits)
            steps[last] = (steps[last][0], lits)
        elif kind in (3, 4):
            steps.insert(pos, (True, some_clause()))
        elif kind == 5:
            l = rng.randrange(2 * nv)
            steps.insert(pos, (True, rng.choice([[], [l], [l, l]])))
        elif kind == 6:
            steps.insert(pos, (False, random_clause(rng, nv)))
        elif kind == 7:  # a definition over a fresh variable: RAT on its first literal
            steps.insert(pos, (False, [fresh()] + random_clause(rng, nv)))
        elif kind == 8 and steps and steps[-1] == (False, []):
            steps.pop()
        elif kind == 9:
            # a known clause split on a fresh variable: the second half is RAT with one candidate, whose
            # resolvent contains the known clause
            c = some_clause()
            if len(c) >= 2:
                x, cut = fresh(), rng.randrange(1, len(c))
                steps[pos:pos] = [(False, [x] + c[:cut]), (False, [x ^ 1] + c[cut:])]
        else:
            steps.insert(pos, (False, some_clause()))
    return steps


def compare(nvars, clauses, steps, check_rat=True, apply_deletions=True):
    got = nn.check_proof(nvars, clauses, steps, check_rat, apply_deletions)
    want = ref_check_proof(nvars, clauses, steps, check_rat, apply_deletions)
    assert got == want
    for data in (drat_text(steps), drat_binary(steps)):  # the same proof as DRAT bytes
        assert nn.check_proof(nvars, clauses, data, check_rat, apply_deletions) == got
    return got


@pytest.mark.parametrize("seed", range(400))
def test_random_proofs_match_model(seed):
    rng = random.Random(seed)
    nv = rng.randint(3, 30)
    clauses = random_formula(rng, nv, int(nv * rng.uniform(3.0, 7.0)), rng.choice([0.0, 0.0, 0.01, 0.04]))
    if rng.random() < 0.6:
        s = solver(nv, [c for c in clauses if c])
        answer, steps = s.solve(max_conflicts=3000), to_steps(s.proof_steps())
    else:
        answer, steps = preprocessor_proof(rng, nv, clauses)
    accepted = compare(nv, clauses, steps)[0]
    assert accepted or answer is not False, "a refutation we produced was rejected"
    for _ in range(4):
        mutated = mutate(rng, nv, clauses, steps)
        res = compare(rng.choice([nv, nv, 0, nv // 2]), clauses, mutated, rng.random() < 0.8, rng.random() < 0.8)
        if res[0] and nv <= 12:
            assert not brute_force_sat(nv, clauses), "a satisfiable formula was refuted"
    if answer is False:
        # no proof refutes a satisfiable weakening of the formula: neither ours nor a mutation of it
        weak = [c for c in clauses if c]
        while find_model(nv, weak) is None:
            weak.pop(rng.randrange(len(weak)))
        for proof in [steps] + [mutate(rng, nv, weak, steps) for _ in range(3)]:
            for apply_deletions in (True, False):
                assert not compare(nv, weak, proof, True, apply_deletions)[0], "a satisfiable formula was refuted"
