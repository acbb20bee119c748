"""Solver.add_clauses: a batch behaves as add_clause on each clause in order; bad input anywhere changes
nothing (conversion errors of every kind: test_hostile.py)."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import norvane_native as nn
from test_fuzz import FUZZ, STATS, formulas, options


def observed(s):
    return [getattr(s, k) for k in STATS], s.nvars, s.ok, s.model, s.proof_steps(), s.check_watch_invariant()


def db_of(clauses):
    db = nn.ClauseDb()
    for c in clauses:
        db.add_clause(c)
    return db


@settings(FUZZ, max_examples=200)
@given(formulas(), options(), st.sampled_from([1, 2, 3]), st.sampled_from([None, 0, 3]), st.booleans())
def test_batches_match_clause_by_clause(formula, opts, batches, budget, from_db):
    """Batches (lists, or ClauseDbs) between budgeted solves: the same counters, model and proof as the
    clauses added one by one."""
    nvars, clauses = formula
    if from_db:  # what a ClauseDb keeps: no duplicate literals, no tautologies
        clauses = db_of(clauses).clauses()
    one, bulk = nn.Solver(nvars, **opts), nn.Solver(nvars, **opts)
    one.enable_proof()
    bulk.enable_proof()
    cut = [len(clauses) * k // batches for k in range(batches + 1)]
    for k in range(batches):
        part = clauses[cut[k]: cut[k + 1]]
        for c in part:
            one.add_clause(c)
        assert 0 <= bulk.add_clauses(db_of(part) if from_db else part) <= len(part)
        assert observed(bulk) == observed(one)
        assert bulk.solve(max_conflicts=budget) == one.solve(max_conflicts=budget)
        assert observed(bulk) == observed(one)


@pytest.mark.parametrize("clauses,kept", [
    ([], 0), ([[0, 1]], 0), ([[0, 0]], 1), ([[0], [0, 2]], 1), ([[1], [0, 2]], 2), ([[0], [2, 1]], 2),
    ([[0], [1], [2, 4], [5]], 2), ([[]], 1), ([[2, 4], [2, 4]], 2),
])
def test_what_counts_as_kept(clauses, kept):
    s = nn.Solver(3)
    assert s.add_clauses(clauses) == kept
    if not clauses:
        s.enable_proof()  # an empty batch adds no clause: a proof may still start


def test_a_batch_memory_cannot_hold_changes_nothing():
    db = nn.ClauseDb()
    db.add_dimacs([1, 2])
    db.add_dimacs([-2147483648])  # the literal 2**32 - 1
    for batch in [db, [[0, 2], [3], [6, 4294967294]]]:
        s = nn.Solver(2)
        s.add_clause([0])
        before = observed(s)
        with pytest.raises(MemoryError):
            s.add_clauses(batch)
        assert observed(s) == before


def test_reentrant_use_is_refused():
    s, db = nn.Solver(), nn.ClauseDb()

    class Back:
        def __init__(self, fn):
            self.fn = fn

        def __index__(self):
            self.fn()
            return 0

    for fn, message in [(lambda: s.add_clause([0]), "Already borrowed"), (lambda: s.nvars, "Already mutably")]:
        with pytest.raises(RuntimeError, match=message):
            s.add_clauses([[2], [Back(fn)]])
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        db.add_clause([Back(lambda: s.add_clauses(db))])  # the ClauseDb is being changed
    assert s.nvars == 0 and len(db) == 0
