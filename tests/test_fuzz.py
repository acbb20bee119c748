"""Differential fuzzing, the quick part (bench/fuzz.py is the long run).

Random formulas -- empty to a dozen variables, random literal orders, duplicate literals, tautologies,
unit and empty clauses, literals beyond the declared variable count -- go through Solver with random
values of all twenty options, through Preprocessor -> Solver -> reconstruct, and through
solve_portfolio.  Every answer must agree with brute force, every model satisfy the formula it was found
for, every proof be accepted by check_proof (and every lemma of a satisfiable run verify), the watch
lists stay consistent, and a second identical run repeat every counter.
"""
import itertools

from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import norvane_native as nn
from conftest import to_steps

NO_EMPTY = "every step verified, but the proof never derives the empty clause"
STATS = ["conflicts", "decisions", "propagations", "restarts", "learned", "learned_lits", "minimized_lits",
         "reductions", "blocked_restarts", "deleted", "max_trail"]
FUZZ = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                        HealthCheck.data_too_large])


def satisfies(clauses, model):
    """Like conftest's, but a variable beyond the model satisfies nothing: the solver creates no
    variable for the part of a clause after the literal that showed it to be a tautology."""
    n = len(model)
    return all(any((l >> 1) < n and model[l >> 1] != bool(l & 1) for l in c) for c in clauses)


def brute_force(clauses):
    n = max([(l >> 1) + 1 for c in clauses for l in c], default=0)
    return any(satisfies(clauses, bits) for bits in itertools.product([False, True], repeat=n))


@st.composite
def formulas(draw, max_vars=10):
    n = draw(st.integers(0, max_vars))
    length = st.sampled_from([0] + [1] * 4 + [2] * 8 + [3] * 10 + [4] * 4 + [6] * 2)
    # literals up to two variables beyond the declared count: the engine creates them on demand
    lit = st.integers(0, 2 * n + 3)
    m = draw(st.integers(0, 6 * n + 4))
    clauses = draw(st.lists(length.flatmap(lambda k: st.lists(lit, min_size=k, max_size=k)), min_size=m, max_size=m))
    return n, clauses


@st.composite
def options(draw):
    pick = lambda xs: draw(st.sampled_from(xs))  # noqa: E731
    return dict(
        restart=pick(["glucose", "luby", "none"]), ccmin=pick(["deep", "basic", "none"]),
        phase_saving=pick([True, False]), init_phase=pick([True, False]), target_phase=pick([True, False]),
        target_reset=pick([0, 1, 3]), walk_flips=pick([0, 1, 10, 1000]), walk_interval=pick([0, 1, 2]),
        walk_patience=pick([0, 1, 3]), walk_min_conflicts=pick([0, 1, 5000]),
        var_decay=pick([0.5, 0.8, 0.95, 1.0]), var_decay_max=pick([0.5, 0.95, 1.0]),
        cla_decay=pick([0.5, 0.999, 1.0]), luby_base=pick([-1.0, 0.0, 0.5, 1.0, 100.0]),
        first_reduce=pick([0, 1, 3, 2000]), reduce_inc=pick([0, 1, 300]), glue_keep=pick([0, 1, 2, 2**32 - 1]),
        block_restart=pick([True, False]), rnd_freq=pick([0.0, 0.1, 0.5, 1.0]),
        rnd_seed=pick([0, 1, 91648253, 2**32 - 1]))


def run_solver(nvars, clauses, opts, batches=1, budget=None):
    """A Solver with proof logging fed in `batches` parts, with a budgeted solve after each but the
    last; checks everything a single run can check and returns (answer, solver)."""
    s = nn.Solver(nvars, **opts)
    s.enable_proof()
    cut = [len(clauses) * k // batches for k in range(batches + 1)]
    ans = None
    for k in range(batches):
        part = clauses[: cut[k + 1]]
        for c in clauses[cut[k]: cut[k + 1]]:
            s.add_clause(c)
        ans = s.solve(max_conflicts=budget if k < batches - 1 else None)
        assert s.check_watch_invariant() == []
        if ans is True:
            assert len(s.model) == s.nvars >= nvars
            assert satisfies(part, s.model)
        elif ans is False:
            assert not s.ok and s.model == []
            break
    if ans is False and batches > 1:
        assert s.solve() is False
    assert ans is not None
    verdict = nn.check_proof(nvars, clauses, to_steps(s.proof_steps()), check_rat=False)
    if ans:
        assert verdict[:2] == (False, NO_EMPTY), verdict  # every lemma verifies, no refutation
    else:
        assert verdict[0], verdict
    return ans, s


def observed(s):
    return [getattr(s, k) for k in STATS], s.model, s.proof_steps(), s.ok


@FUZZ
@given(formulas(), options(), st.sampled_from([1, 1, 2, 3]), st.sampled_from([None, 0, 1, 5]))
def test_solver_with_random_options(formula, opts, batches, budget):
    nvars, clauses = formula
    ans, s = run_solver(nvars, clauses, opts, batches, budget)
    assert ans == brute_force(clauses)
    event(f"satisfiable: {ans}")
    _, again = run_solver(nvars, clauses, opts, batches, budget)
    assert observed(again) == observed(s)


@FUZZ
@given(formulas(), options(), st.booleans(), st.sampled_from([0, 1, 2, 20]), st.sampled_from([0, 1, 3]),
       st.data())
def test_preprocessor_then_solver_then_reconstruct(formula, opts, do_bve, max_len, rounds, data):
    nvars, clauses = formula
    truth = brute_force(clauses)
    p = nn.Preprocessor(nvars, do_bve=do_bve, max_resolvent_len=max_len, with_proof=True)
    for v in data.draw(st.lists(st.integers(0, nvars + 1), max_size=3)):
        p.freeze(v)
    for c in clauses:
        p.add_clause(c)
    ok = p.run(rounds)
    pre_proof = to_steps(p.proof_steps())
    event(f"preprocessor alone refutes: {not ok}; satisfiable: {truth}")
    if not ok:
        assert not truth and p.unsat and p.reduced() == [[]]
        assert nn.check_proof(nvars, clauses, pre_proof)[0]
        return
    reduced = p.reduced()
    assert all(l < 2 * p.nvars for c in reduced for l in c)
    ans, s = run_solver(p.nvars, reduced, opts)
    assert ans == truth
    if ans:
        full = p.reconstruct(s.model)
        assert len(full) == p.nvars and satisfies(clauses, full)
    else:
        # the preprocessor's steps followed by the solver's refute the original formula
        verdict = nn.check_proof(nvars, clauses, pre_proof + to_steps(s.proof_steps()))
        assert verdict[0], verdict


@FUZZ
@given(formulas(), st.lists(options(), min_size=1, max_size=3), st.booleans(), st.integers(0, 3), st.data())
def test_portfolio(formula, configs, use_alt, alt_threads, data):
    nvars, clauses = formula
    alt = data.draw(formulas())[1] if use_alt else None
    res = nn.solve_portfolio(nvars, clauses, configs, alt=alt, alt_threads=alt_threads, want_proof=True)
    worker, which, sat, model, conflicts, decisions, propagations, restarts, proof = res
    on_alt = use_alt and worker >= len(configs) - min(alt_threads, len(configs))
    assert which == int(on_alt)
    solved = alt if on_alt else clauses
    assert sat == brute_force(solved)
    event(f"satisfiable: {sat}; alternative formula: {on_alt}")
    if sat:
        assert satisfies(solved, model) and proof == []
    else:
        assert model == []
        assert nn.check_proof(nvars, solved, [(d, [nn.from_dimacs(x) for x in l]) for d, l in proof])[0]
    # the winner ran undisturbed to its end: its result is what its configuration gives alone
    s = nn.Solver(nvars, **configs[worker])
    s.enable_proof()
    alone = s.solve() if all([s.add_clause(c) for c in solved]) else False
    assert (sat, model, conflicts, decisions, propagations, restarts) == \
        (alone, s.model, s.conflicts, s.decisions, s.propagations, s.restarts)
    assert proof == ([] if alone else [(k == "d", l) for k, l in s.proof_steps()])


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(20, 60), st.floats(3.5, 5.0), st.integers(0, 2**32 - 1), options(), options())
def test_larger_formulas_agree_across_configurations(n, ratio, seed, opts_a, opts_b):
    """Beyond brute force: two configurations, the preprocessed road and a portfolio agree."""
    import random
    rng = random.Random(seed)
    clauses = [[rng.randrange(2 * n) for _ in range(3)] for _ in range(round(n * ratio))]
    for o in (opts_a, opts_b):
        o["rnd_freq"] = min(o["rnd_freq"], 0.1)  # all-random decisions make hard formulas slow
    a, _ = run_solver(n, clauses, opts_a)
    b, _ = run_solver(n, clauses, opts_b)
    p = nn.Preprocessor(n)
    for c in clauses:
        p.add_clause(c)
    c = p.run() and nn.Solver(p.nvars)
    if c:
        for cl in p.reduced():
            c.add_clause(cl)
        c = c.solve()
    d = nn.solve_portfolio(n, clauses, [opts_a, opts_b])[2]
    assert a == b == c == d


def arena_model(nvars, clauses):
    """What ClauseDb keeps: duplicates collapse to their first occurrence, a tautology is not stored
    (but the variables of the literals before its complementary pair still count), and each of the
    three flat vectors grows to max(4, 2 x capacity) when full."""
    kept, flags, num_vars, caps = [], [], nvars, {"lits": 0, "starts": 0, "lens": 0}
    sizes = {"lits": 0, "starts": 0, "lens": 0}

    def push(vec):
        if sizes[vec] == caps[vec]:
            caps[vec] = max(4, 2 * caps[vec])
        sizes[vec] += 1

    for c in clauses:
        out, taut = [], False
        for l in c:
            if l in out:
                continue
            if l ^ 1 in out:
                taut = True
                break
            out.append(l)
            push("lits")
            num_vars = max(num_vars, (l >> 1) + 1)
        sizes["lits"] -= 0 if not taut else len(out)
        flags.append(not taut)
        if not taut:
            kept.append(out)
            push("starts")
            push("lens")
    return kept, flags, num_vars, 4 * sum(caps.values())


@FUZZ
@given(st.integers(0, 5), st.lists(st.lists(st.integers(0, 2**32 - 2), max_size=6) | st.lists(st.integers(0, 11),
                                                                                            max_size=6), max_size=30))
def test_clausedb_against_a_model(nvars, clauses):
    db = nn.ClauseDb(nvars)
    stored = [db.add_clause(c) for c in clauses]
    kept, flags, num_vars, memory = arena_model(nvars, clauses)
    assert stored == flags
    assert db.clauses() == kept and len(db) == len(kept)
    assert (db.num_vars, db.memory_bytes, db.num_lits) == (num_vars, memory, sum(map(len, kept)))
    assert [db.clause(i) for i in range(len(db))] == kept
