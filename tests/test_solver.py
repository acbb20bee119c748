"""The Solver class: options, enable_proof, budgets and limits.

Counter-by-counter agreement with the reference model is in test_solver_reference.py; random formulas
against brute force, proofs and identical reruns in test_fuzz.py; benchmark instances in test_assumptions.py
and test_proof_file.py; signatures, docstrings and conversion messages in test_api.py; every parameter
refused with its note, in declaration order, in test_hostile.py."""
import math

import pytest

import norvane_native as nn
from conftest import RANGE, SOLVER_KINDS, SOLVER_PARAMS, Index, pigeonhole, raises, random_3sat, solver, stats

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OVERFLOW_INSTANT = "overflow when adding duration to instant"


def test_defaults_positional_and_keyword_give_the_same_search():
    nvars, clauses = pigeonhole(5)
    runs = [nn.Solver(), nn.Solver(**dict(SOLVER_PARAMS)), nn.Solver(*[d for _, d in SOLVER_PARAMS])]
    for s in runs:
        s.enable_proof()
        s.add_clauses(clauses)
        assert s.solve() is False
    assert len({(tuple(stats(s)), str(s.proof_steps())) for s in runs}) == 1
    assert nn.Solver(5).new_var() == 5 and repr(runs[0]) == f"<native.Solver vars=30 conflicts={runs[0].conflicts}>"


@pytest.mark.parametrize("value,shown", [("Luby", '"Luby"'), (" luby", '" luby"'), ("", '""'), ('a"b', r'"a\"b"'),
                                         ("a\\b", r'"a\\b"'), ("\t\r\n", r'"\t\r\n"'), ("x\x01y", r'"x\u{1}y"'),
                                         ("\x7f", r'"\u{7f}"'), ("caf\u00e9", '"caf\u00e9"')])
def test_unknown_option_message(value, shown):
    for option in ("restart", "ccmin"):
        raises(ValueError, lambda: nn.Solver(**{option: value}), f"unknown {option} {shown}", "")
    # restart is reported before ccmin, and every conversion before both
    raises(ValueError, lambda: nn.Solver(0, "deep", value), 'unknown restart "deep"')
    raises(ValueError, lambda: nn.Solver(restart="none", ccmin="luby"), 'unknown ccmin "luby"')
    raises(OverflowError, lambda: nn.Solver(restart=value, ccmin="y", rnd_seed=2**32), RANGE, "rnd_seed")


def test_parameter_edge_values_accepted():
    assert nn.Solver(Index(7)).nvars == 7 and nn.Solver(True).nvars == 1
    big64 = {n: 2**64 - 1 for n, kind in SOLVER_KINDS.items() if kind == "u64"}
    nn.Solver(glue_keep=2**32 - 1, rnd_seed=2**32 - 1, var_decay=1, luby_base=7, **big64)
    np = pytest.importorskip("numpy")
    s = solver(2, [[0, 2]], phase_saving=np.False_, target_phase=np.True_, var_decay=np.float64(0.9))
    assert s.solve() is True


def test_enable_proof_only_before_the_first_clause():
    message = ("enable_proof() must be called before any clause is added: a proof that starts midway through "
               "the formula is not a proof")
    s = nn.Solver(3)
    assert s.enable_proof() is None and s.new_var() == 3 and s.enable_proof() is None
    raises(TypeError, lambda: s.add_clause("01"))  # a failed conversion adds no clause
    assert s.enable_proof() is None
    for first in (lambda s: s.add_clause([0, 2]), lambda s: s.solve(), lambda s: s.add_clause([0, 1])):
        s = nn.Solver()
        first(s)  # a tautology counts as added
        raises(ValueError, s.enable_proof, message, "")
        assert s.proof_steps() == []


@pytest.mark.parametrize("kwargs", [dict(max_conflicts=0), dict(seconds=0.0), dict(seconds=-0.0), dict(seconds=False)])
def test_zero_budget_is_unknown(kwargs):
    assert nn.Solver().solve(**kwargs) is None
    s = solver(*pigeonhole(4), proof=False)
    assert s.solve(**kwargs) is None and s.ok and s.model == [] and s.conflicts == 0
    assert s.solve() is False and s.solve(**kwargs) is False  # already unsatisfiable


@pytest.mark.parametrize("opts", [{}, dict(walk_min_conflicts=100)])
def test_a_distant_deadline_changes_nothing(opts):
    """The clock is read while the search runs: no counter, model or proof step may depend on it."""
    clauses = random_3sat(8, 220)
    a, b = solver(220, clauses, **opts), solver(220, clauses, **opts)
    assert [a.solve(500), a.solve()] == [b.solve(500, seconds=3600.0), b.solve(seconds=3600.0)]
    assert (stats(a), a.model, a.proof_steps()) == (stats(b), b.model, b.proof_steps())


def test_time_limit_without_conflicts():
    # deciding 300000 free variables takes far longer than a millisecond (long passes: test_interrupt.py)
    free = nn.Solver(300_000)
    assert free.solve(seconds=0.001) is None and free.conflicts == 0


@pytest.mark.parametrize("seconds,message", [(-1.0, NEGATIVE), (-math.inf, NEGATIVE), (math.nan, TOO_BIG),
                                             (math.inf, TOO_BIG), (1e300, TOO_BIG), (2.0**63, OVERFLOW_INSTANT)])
def test_bad_seconds_are_value_errors(seconds, message):  # the solver is left as it was: test_hostile.py
    s = nn.Solver(2)
    raises(ValueError, lambda: s.solve(seconds=seconds, release_gil=True), message, "")
    assert s.enable_proof() is None  # the failed call does not count as a solve
