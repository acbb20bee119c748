"""The native Preprocessor against the pure-Python model, counter by counter.

Random small formulas (with repeated literals, tautologies, the odd empty clause, frozen variables, late
clauses between two runs) go through both; the return values, reduced formulas, counters, proof logs and
reconstructed models must be identical.  The native answers are also checked for soundness on their own:
the reduced formula is satisfiable exactly when the input is, and a model of it reconstructs into a model
of the input."""

import random

import pytest

import norvane_native as nn
from conftest import find_model, satisfies
from reference.preprocess_model import RefPreprocessor

LENGTHS = [2] * 5 + [3] * 8 + [4] * 4 + [5] * 2


def random_clause(rng, nv, empty_rate=0.0, unit_rate=0.03):
    if rng.random() < empty_rate:
        return []
    k = 1 if rng.random() < unit_rate else rng.choice(LENGTHS)
    c = [rng.randrange(2 * nv) for _ in range(k)]
    r = rng.random()
    if r < 0.06:
        c.insert(rng.randrange(len(c) + 1), rng.choice(c))  # repeated literal
    elif r < 0.09:
        c.insert(rng.randrange(len(c) + 1), rng.choice(c) ^ 1)  # tautology
    return c


def random_formula(rng, nv, n, empty_rate=0.0, unit_rate=0.03):
    out = []
    for _ in range(n):  # now and then a duplicate clause
        dup = out and rng.random() < 0.04
        out.append(list(rng.choice(out)) if dup else random_clause(rng, nv, empty_rate, unit_rate))
    return out


def state(p):
    return (p.nvars, p.unsat, p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.resolvents, p.pure,
            p.reactivated, p.reduced(), p.proof_steps(), repr(p))


def outcome(f, *args):
    try:
        return ("ok", f(*args))
    except (ValueError, OverflowError) as e:
        return (type(e).__name__, str(e))


def both(kw):
    return nn.Preprocessor(**kw), RefPreprocessor(**kw)


def apply(pair, method, *args):
    got = [outcome(getattr(p, method), *args) for p in pair]
    assert got[0] == got[1], (method, args)
    assert state(pair[0]) == state(pair[1]), (method, args)
    return got[0]


def scenario(seed):
    rng = random.Random(seed)
    nv = rng.randint(3, 30)
    kw = dict(nvars=rng.choice([0, nv // 2, nv]), do_bve=rng.random() < 0.7,
              max_resolvent_len=rng.choice([20, 20, 20, 1, 2, 3, 4]), with_proof=rng.random() < 0.6)
    pair = both(kw)
    for v in range(nv):
        if rng.random() < 0.12:
            apply(pair, "freeze", v)
    unit_rate = rng.choice([0.0, 0.01, 0.03, 0.06])
    original = random_formula(rng, nv, int(nv * rng.uniform(1.0, 4.5)), 0.003, unit_rate)
    for c in original:
        apply(pair, "add_clause", c)
    apply(pair, "run", rng.randint(0, 4))
    # Clauses added late on variables already eliminated bring them back.  Late clauses on variables fixed by
    # propagation are settled by the next run, if it runs a round.
    sound = True
    if rng.random() < 0.5:
        nv2 = nv + rng.randint(0, 3)
        late = random_formula(rng, nv2, rng.randint(1, nv), 0.01, unit_rate)
        if rng.random() < 0.3:
            apply(pair, "freeze", rng.randrange(nv2 + 2))
        fixed = {v for v in range(pair[1].nvars) if pair[1].assign[v]}
        rounds = rng.randint(0, 4)
        sound = rounds > 0 or not fixed & {l >> 1 for c in late for l in c}
        for c in late:
            apply(pair, "add_clause", c)
        original += late
        apply(pair, "run", rounds)
    return rng, pair, [c for c in original if not any(l ^ 1 in c for l in c)], sound


@pytest.mark.parametrize("seed", range(400))
def test_random_formulas_match_model(seed):
    rng, (nat, ref), original, sound = scenario(seed)
    nvars, reduced = nat.nvars, nat.reduced()
    model = find_model(nvars, reduced)
    if sound:
        assert (model is not None) == (find_model(nvars, original) is not None)
    tries = [[rng.random() < 0.5 for _ in range(nvars + rng.randint(-3, 3))] for _ in range(3)]
    if model is not None:
        tries.append(model)
        tries.append(model[: rng.randint(0, nvars)])
    for m in tries:
        got = apply((nat, ref), "reconstruct", m)
        if m is model and sound:
            assert got[0] == "ok" and len(got[1]) == nvars and satisfies(original, got[1])


def test_subsumption_budget_is_two_million_pairs_per_round():
    # 125 x 129 two-literal clauses over disjoint positive variables examine exactly 125 * 129 * 124 =
    # 1,999,500 pairs without any effect; then 1000 copies of one ternary clause follow, the first copy
    # subsuming the others one pair at a time until the budget runs out after pair 2,000,000.
    a, b = 125, 129
    clauses = [[2 * i, 2 * (a + j)] for i in range(a) for j in range(b)]
    t = [2 * (a + b), 2 * (a + b + 1), 2 * (a + b + 2)]
    clauses += [list(t) for _ in range(1000)]
    pair = both(dict(do_bve=False))
    apply(pair, "add_clauses", clauses)
    apply(pair, "run", 1)
    assert pair[0].subsumed == 500


@pytest.mark.parametrize("npos, eliminated", [(20, True), (21, False)])
def test_elimination_pair_limit(npos, eliminated):
    # x0 against 20 negative clauses, every resolvent a tautology on x1; all other variables are frozen, so
    # only the pair limit decides
    pair = both(dict(nvars=50, with_proof=True))
    for v in range(1, 50):
        apply(pair, "freeze", v)
    apply(pair, "add_clauses", [[0, 2, 2 * (i + 2)] for i in range(npos)])
    apply(pair, "add_clauses", [[1, 3, 2 * (i + 2) + 1] for i in range(20)])
    apply(pair, "run", 2)
    assert pair[0].eliminated_vars == int(eliminated)
    assert len(pair[0].reduced()) == (0 if eliminated else npos + 20)


@pytest.mark.parametrize("cls", [nn.Preprocessor, RefPreprocessor], ids=["native", "model"])
def test_worked_examples(cls):
    def make(clauses, frozen=(), **kw):
        p = cls(**kw)
        for v in frozen:
            p.freeze(v)
        for c in clauses:
            p.add_clause(c)
        return p

    p = make([[0], [1, 2], [0, 4]], with_proof=True)
    assert p.run(1) and p.units == 2 and p.reduced() == []
    assert p.proof_steps() == [("d", [1]), ("d", [1, 3]), ("a", [2]), ("d", [-1, 2]), ("d", [2])]

    p = make([[0, 2], [1, 2]], nvars=2, with_proof=True)
    assert p.run() is True and p.reduced() == []
    assert (p.subsumed, p.strengthened, p.pure, p.eliminated_vars, p.units) == (1, 1, 1, 1, 0)
    assert p.reconstruct([False, False]) == [False, True]
    assert p.proof_steps()[:2] == [("a", [2]), ("d", [-1, 2])]

    p = make([[0, 2], [1, 4]], frozen=[1, 2], with_proof=True)
    assert p.run() and p.reduced() == [[2, 4]]
    assert (p.eliminated_vars, p.resolvents, p.pure) == (1, 1, 0)
    assert p.proof_steps() == [("a", [2, 3]), ("d", [1, 2]), ("d", [-1, 3])]
    assert p.reconstruct([False, False, True]) == [True, False, True]
    assert p.reconstruct([True, True, False]) == [False, True, False]
    assert p.reconstruct([True, True, True]) == [True, True, True]
    with pytest.raises(ValueError, match="^reconstruction failed for x0$"):
        p.reconstruct([True, False, False])
    with pytest.raises(OverflowError):
        p.freeze(2**32 - 1)
    assert p.nvars == 3 and p.reduced() == [[2, 4]] and p.reconstruct([False, False, True, True]) == [True, False, True]

    p = make([[0, 2], [1, 4]])
    assert p.run() and (p.pure, p.eliminated_vars, p.resolvents) == (2, 2, 0)
    p = make([[0, 2], [1, 3]])
    assert p.run() and (p.pure, p.eliminated_vars, p.resolvents) == (0, 1, 0)
    p = make([[0, 2], [1, 4]], frozen=[1, 2], max_resolvent_len=1)
    assert p.run() and p.eliminated_vars == 0 and p.reduced() == [[0, 2], [1, 4]]

    p = make([[0], [1]], with_proof=True)
    assert p.run() is False and p.unsat and p.reduced() == [[]] and p.proof_steps()[-1] == ("a", [])
    p = make([[0], [2, 1], []], with_proof=True)  # zero rounds change nothing; then the empty clause refutes
    assert p.run(0) is True and p.run(2) is False and p.units == 0
    p.add_clause([6])  # and the formula stays refuted
    assert p.run(1) is False and p.reduced() == [[]] and p.proof_steps() == [("a", [])]
    p = make([[4, 4, 2], [0, 1]])
    assert p.run(0) is True and p.reduced() == [[4, 2]] and p.nvars == 3
    assert repr(cls(3)) == "<native.Preprocessor vars=3 eliminated=0 subsumed=0>"


def test_late_clause_on_fixed_variable_is_settled_by_the_next_run():
    # x0 is fixed true by the first run; the late clause (-x0 | x1) must not survive into the reduced
    # formula, where a model could set x0 false and x1 false, which reconstruction would then turn into a
    # non-model
    pair = both(dict(nvars=2, with_proof=True))
    for call, arg in [("freeze", 1), ("add_clause", [0]), ("run", 3), ("add_clause", [1, 2]),
                      ("add_clause", [0, 2])]:
        apply(pair, call, arg)
    assert apply(pair, "run", 3) == ("ok", True)
    assert pair[0].reduced() == [] and pair[0].units == 2
    assert pair[0].proof_steps()[1:] == [("d", [1, 2]), ("a", [2]), ("d", [-1, 2]), ("d", [2])]
    assert apply(pair, "reconstruct", [False, False]) == ("ok", [True, True])
