"""Differential fuzzing, the quick part: blocks of cases of bench/fuzz.py (Solver with random options, rerun;
Preprocessor -> Solver -> reconstruct; solve_portfolio; against brute force, with proofs checked).
Also: add_clauses against add_clause, ClauseDb against a model of what it keeps, literal functions."""
import random
import sys
from pathlib import Path

import pytest

import norvane_native as nn
from conftest import RANGE, clause_db, raises, solver, stats

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import fuzz  # noqa: E402


@pytest.mark.parametrize("roads,block", [("all", b) for b in range(8)] + [("pre", b) for b in range(4)])
def test_fuzz_cases_find_no_fault(roads, block):
    size = 500 if roads == "all" else 1500
    faults = []
    for i in range(block * size, (block + 1) * size):
        faults += [(i, f) for f in fuzz.run_case(11, i, 40, 12, (0.2, 0.0, 0.002 if roads == "all" else 0.0), roads)[2]]
    assert not faults


def observed(s):
    if isinstance(s, nn.Preprocessor):
        return s.nvars, s.unsat, s.units, s.eliminated_vars, s.reactivated, s.reduced(), s.proof_steps()
    return stats(s), s.nvars, s.ok, s.model, s.proof_steps(), s.check_watch_invariant()


@pytest.mark.parametrize("seed", range(100))
def test_add_clauses_is_add_clause_on_each(seed):
    """Batches (lists, or ClauseDbs) between budgeted solves, or between preprocessor runs each followed by
    a freeze (an eliminated variable comes back): the same counters, model, reduced formula and proof."""
    rng = random.Random(seed)
    nvars, clauses = fuzz.random_formula(rng, 30)
    opts, batches, budget = fuzz.random_options(rng, True), rng.randint(1, 3), rng.choice([None, 0, 3])
    from_db, pre = seed % 2, seed % 4 >= 2
    if from_db:  # what a ClauseDb keeps: no duplicate literals, no tautologies
        clauses = clause_db(clauses).clauses()
    one, bulk = (nn.Preprocessor(nvars, with_proof=True) if pre else solver(nvars, [], **opts) for _ in "ab")
    cut = [len(clauses) * k // batches for k in range(batches + 1)]
    for k in range(batches):
        part = clauses[cut[k]: cut[k + 1]]
        for c in part:
            one.add_clause(c)
        kept = bulk.add_clauses(clause_db(part) if from_db else part)
        assert kept == sum(not any(l ^ 1 in c for l in c) for c in part) if pre else 0 <= kept <= len(part)
        assert observed(bulk) == observed(one)
        v = rng.randrange(nvars + 1)
        step = (lambda p: (p.run(), p.freeze(v))) if pre else (lambda p: p.solve(max_conflicts=budget))
        assert step(bulk) == step(one) and observed(bulk) == observed(one)


@pytest.mark.parametrize("clauses,kept", [
    ([], 0), ([[0, 1]], 0), ([[0, 0]], 1), ([[0], [0, 2]], 1), ([[1], [0, 2]], 2), ([[0], [2, 1]], 2),
    ([[0], [1], [2, 4], [5]], 2), ([[]], 1), ([[2, 4], [2, 4]], 2)])
def test_what_add_clauses_counts_as_kept(clauses, kept):
    assert nn.Solver(3).add_clauses(clauses) == kept


def arena_model(nvars, clauses):
    """What ClauseDb keeps: duplicates collapse to their first occurrence, a tautology is not stored
    (but the variables of the literals before its complementary pair still count)."""
    kept, flags, num_vars = [], [], nvars
    for c in clauses:
        out = []
        for l in c:
            if l ^ 1 in out:
                flags.append(False)
                break
            if l not in out:
                out.append(l)
                num_vars = max(num_vars, (l >> 1) + 1)
        else:
            flags.append(True)
            kept.append(out)
    return kept, flags, num_vars


@pytest.mark.parametrize("seed", range(300))
def test_clausedb_against_a_model(seed):
    rng = random.Random(seed)
    nvars = rng.randint(0, 5)
    top = rng.choice([11, 2**32 - 2])
    clauses = [[rng.randint(0, top) for _ in range(rng.randint(0, 6))] for _ in range(rng.randint(0, 30))]
    if seed == 0:
        clauses = [[2 * i, 2 * i + 3] for i in range(10_000)]  # growth well past the first doublings
    db, (kept, flags, num_vars) = nn.ClauseDb(nvars), arena_model(nvars, clauses)
    assert [db.add_clause(c) for c in clauses] == flags
    assert db.clauses() == kept == [db.clause(i) for i in range(len(db))] and len(db) == db.num_clauses == len(kept)
    assert (db.num_vars, db.num_lits) == (num_vars, sum(map(len, kept))) and db.memory_bytes >= 4 * len(kept)
    assert repr(db) == f"<ClauseDb vars={num_vars} clauses={len(kept)} lits={db.num_lits} bytes={db.memory_bytes}>"


def test_clausedb_refusal_messages():
    db = nn.ClauseDb()
    db.add_clause([0])
    for call, exc, message in [
        (lambda: db.add_clause([2, 4294967295]), ValueError, "literal out of range"),
        (lambda: db.add_dimacs([1, 0]), ValueError, "0 is not a DIMACS literal (it terminates a clause)"),
        (lambda: db.add_dimacs([2**31]), OverflowError, RANGE),
        (lambda: db.clause(5), ValueError, "clause index 5 out of range (1 clauses)"),
    ]:
        raises(exc, call, message)  # and nothing changed: test_hostile.py
    assert db.add_dimacs([-2147483648, 1, -2]) and db.clause(1) == [4294967295, 0, 3] and db.num_vars == 2**31


def test_literal_functions():
    # (literal, DIMACS): the two largest literals have no DIMACS form of their own and saturate
    for l, d in [(0, 1), (1, -1), (6, 4), (7, -4), (2**32 - 4, 2**31 - 1), (2**32 - 3, 1 - 2**31),
                 (2**32 - 2, -2**31), (2**32 - 1, -2**31)]:
        assert (nn.neg(l), nn.var_of(l), nn.is_neg(l), nn.mk_lit(l >> 1, l & 1 == 1), nn.to_dimacs(l)) == \
            (l ^ 1, l >> 1, l & 1 == 1, l, d)
        assert l >= 2**32 - 2 or nn.from_dimacs(d) == l
    assert nn.from_dimacs(-2**31) == 2**32 - 1 and nn.mk_lit(2**31 + 3, True) == 7  # 32 bits, wrapped
    raises(ValueError, lambda: nn.from_dimacs(0), "0 is not a DIMACS literal (it terminates a clause)", "")
