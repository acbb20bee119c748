"""Solver.add_clauses: a batch behaves as add_clause on each clause in order, and bad input anywhere in
the batch changes nothing."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import norvane_native as nn
from conftest import expect_notes, notes
from test_fuzz import FUZZ, STATS, formulas, options


def observed(s):
    return ([getattr(s, k) for k in STATS], s.nvars, s.ok, s.model, s.proof_steps(), s.check_watch_invariant())


@settings(FUZZ, max_examples=200)
@given(formulas(), options(), st.sampled_from([1, 2, 3]), st.sampled_from([None, 0, 3]), st.booleans())
def test_batches_match_clause_by_clause(formula, opts, batches, budget, from_db):
    """Batches (lists or ClauseDbs) between budgeted solves: the same counters, model and proof as the
    clauses added one by one."""
    nvars, clauses = formula
    if from_db:  # a ClauseDb keeps clauses without duplicates and drops tautologies
        db = nn.ClauseDb()
        for c in clauses:
            db.add_clause(c)
        clauses = db.clauses()
    one, bulk = nn.Solver(nvars, **opts), nn.Solver(nvars, **opts)
    one.enable_proof()
    bulk.enable_proof()
    cut = [len(clauses) * k // batches for k in range(batches + 1)]
    for k in range(batches):
        part = clauses[cut[k]: cut[k + 1]]
        for c in part:
            one.add_clause(c)
        if from_db:
            db = nn.ClauseDb()
            for c in part:
                db.add_clause(c)
            part = db
        kept = bulk.add_clauses(part)
        assert 0 <= kept <= len(part)
        assert observed(bulk) == observed(one)
        assert bulk.solve(max_conflicts=budget) == one.solve(max_conflicts=budget)
        assert observed(bulk) == observed(one)


@pytest.mark.parametrize("clauses,kept", [
    ([], 0), ([[0, 1]], 0), ([[0, 0]], 1), ([[0], [0, 2]], 1), ([[1], [0, 2]], 2), ([[0], [1]], 2),
    ([[0], [1], [2, 4], [5]], 2), ([[]], 1), ([[2, 4], [2, 4]], 2), ([[0], [2, 1]], 2),
])
def test_what_counts_as_kept(clauses, kept):
    s = nn.Solver(3)
    assert s.add_clauses(clauses) == kept
    t = nn.Solver(3)
    results = [t.add_clause(c) for c in clauses]
    assert (s.ok, s.nvars) == (t.ok, t.nvars) and (not results or results[-1] == s.ok)


def test_an_empty_batch_is_not_a_clause_added():
    s = nn.Solver()
    assert s.add_clauses([]) == 0 and s.add_clauses(nn.ClauseDb()) == 0
    s.enable_proof()  # still allowed: no clause was added
    assert s.add_clauses([[0, 2]]) == 1
    with pytest.raises(ValueError):
        s.enable_proof()


def snap(s):
    return observed(s), repr(s)


class Boom(Exception):
    pass


class Raising:
    def __index__(self):
        raise Boom


@pytest.mark.parametrize("bad,exc", [
    ([[0, 2], [3], "ab"], TypeError), ([[0, 2], [3], [1, -1]], OverflowError), ([[0, 2], [Raising()]], Boom),
    ([[0, 2], [3], 7], TypeError), ([[0, 2], [3], [4294967294]], MemoryError),
    ([[0, 2], [3], [6, 4294967295]], MemoryError), ({0: [1]}, TypeError), ("ab", TypeError),
])
def test_bad_input_anywhere_changes_nothing(bad, exc):
    s = nn.Solver(4)
    s.enable_proof()
    s.add_clauses([[0, 2, 4], [1, 6]])
    s.solve()
    before = snap(s)
    with pytest.raises(exc) as e:
        s.add_clauses(bad)
    if exc is not MemoryError:
        assert notes(e.value) == expect_notes(["while processing 'clauses'"])
    assert snap(s) == before
    assert s.add_clauses([[3, 5]]) == 1 and s.solve() is True  # still usable


def test_a_clausedb_naming_a_variable_memory_cannot_hold_changes_nothing():
    db = nn.ClauseDb()
    db.add_dimacs([1, 2])
    db.add_dimacs([-2147483648])  # the literal 2**32 - 1
    s = nn.Solver(2)
    s.add_clause([0])
    before = snap(s)
    with pytest.raises(MemoryError):
        s.add_clauses(db)
    assert snap(s) == before


def test_reentrant_use_of_the_clausedb_or_the_solver_is_refused():
    s = nn.Solver()
    db = nn.ClauseDb()

    class Back:
        def __init__(self, fn):
            self.fn = fn

        def __index__(self):
            self.fn()
            return 0

    for fn, message in [(lambda: s.add_clause([0]), "Already borrowed"), (lambda: s.nvars, "Already mutably borrowed")]:
        with pytest.raises(RuntimeError, match=message):
            s.add_clauses([[2], [Back(fn)]])
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        db.add_clause([Back(lambda: s.add_clauses(db))])
    assert s.nvars == 0 and len(db) == 0
