"""The Solver class: options and their conversion, clauses, budgets, limits and benchmark instances.

Counter-by-counter agreement with the reference model is in test_solver_reference.py; answers on small
random formulas against brute force, proofs and identical reruns in test_fuzz.py."""
import math
import time

import pytest

import norvane_native as nn
from conftest import (BENCH, SOLVER_PARAMS, bench_instances, expect_notes, notes, pigeonhole, read_dimacs_xz,
                      satisfies, to_steps)

KIND = {**dict.fromkeys(["nvars", "glue_keep", "rnd_seed"], "u32"),
        **dict.fromkeys(["target_reset", "walk_flips", "walk_interval", "walk_patience", "walk_min_conflicts",
                         "first_reduce", "reduce_inc"], "u64"),
        **dict.fromkeys(["var_decay", "var_decay_max", "cla_decay", "luby_base", "rnd_freq"], "float"),
        **dict.fromkeys(["phase_saving", "init_phase", "target_phase", "block_restart"], "bool"),
        "restart": "str", "ccmin": "str"}
STATS = ["decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail"]
RANGE = "out of range integral type conversion attempted"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OVERFLOW_INSTANT = "overflow when adding duration to instant"

def stats(s):
    return tuple(getattr(s, name) for name in STATS)


def solve_formula(nvars, clauses, **opts):
    s = nn.Solver(nvars, **opts)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
        assert s.check_watch_invariant() == []
    return s, s.solve()


def assert_answer(nvars, clauses, s, r):
    """A Sat model satisfies the clauses; the proof of an Unsat answer is RUP and ends in the empty clause."""
    assert r in (True, False) and s.check_watch_invariant() == []
    if r:
        assert len(s.model) == s.nvars >= nvars and all(type(b) is bool for b in s.model)
        assert satisfies(clauses, s.model) and s.ok and s.max_trail == s.nvars
    else:
        assert s.model == [] and not s.ok and s.proof_steps()[-1] == ("a", [])
    res = nn.check_proof(nvars, clauses, to_steps(s.proof_steps()), check_rat=False)
    assert res[8] == -1 and res[0] is not r, res


# ---------------------------------------------------------------- construction and options


def test_fresh_solver_and_new_var():
    s = nn.Solver()
    assert (s.nvars, s.ok, s.model, repr(s)) == (0, True, [], "<native.Solver vars=0 conflicts=0>")
    assert stats(s) == (0,) * 11 and s.proof_steps() == [] and s.check_watch_invariant() == []
    s = nn.Solver(5)
    assert s.new_var() == 5 and s.new_var() == 6 and repr(s) == "<native.Solver vars=7 conflicts=0>"


def test_signature_and_docstrings():
    assert sorted(KIND) == sorted(n for n, _ in SOLVER_PARAMS)
    sig = ", ".join(f"{n}={d!r}".replace("'", '"') for n, d in SOLVER_PARAMS)
    assert nn.Solver.__text_signature__ == f"({sig})"
    assert nn.Solver.__doc__ == (
        "The native CDCL search core (Sprint 2).\n\n"
        "Deliberately mirrors `norvane.solver.Solver` so the two can be compared\n"
        "bit-for-bit while the port is intentionally faithful.")
    assert nn.Solver.enable_proof.__doc__.startswith(
        "Turn on DRAT proof logging.  Must be called before any clause is added,\n"
        "since a proof that starts midway through is not a proof.\n\n")
    assert nn.Solver.proof_steps.__doc__ == 'The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}.'
    for name, sig in [("new_var", "($self)"), ("enable_proof", "($self, path=None, binary=False)"),
                      ("proof_steps", "($self)"), ("add_clause", "($self, lits)"), ("add_clauses", "($self, clauses)"),
                      ("solve", "($self, max_conflicts=None, seconds=None, assumptions=None, release_gil=False)"),
                      ("check_watch_invariant", "($self)"), ("core", "($self)"), ("propagate", "($self, assumptions)"),
                      ("interrupt", "($self)")]:
        assert getattr(nn.Solver, name).__text_signature__ == sig
    for name in ["model", "nvars", "ok"] + STATS:
        assert getattr(nn.Solver, name).__doc__ is None
        with pytest.raises(AttributeError):
            setattr(nn.Solver(), name, 1)


def test_defaults_positional_and_keyword_give_the_same_search():
    nvars, clauses = pigeonhole(5)
    runs = [nn.Solver(), nn.Solver(**dict(SOLVER_PARAMS)), nn.Solver(*[d for _, d in SOLVER_PARAMS])]
    for s in runs:
        s.enable_proof()
        for c in clauses:
            s.add_clause(c)
        assert s.solve() is False
    assert len({(stats(s), str(s.proof_steps())) for s in runs}) == 1
    # the second positional argument is `restart`, the third `ccmin`
    with pytest.raises(ValueError, match='^unknown restart "deep"$'):
        nn.Solver(0, "deep")
    with pytest.raises(ValueError, match='^unknown ccmin "luby"$'):
        nn.Solver(0, "luby", "luby")


@pytest.mark.parametrize("value,shown", [
    ("Luby", '"Luby"'), ("LUBY", '"LUBY"'), (" luby", '" luby"'), ("luby ", '"luby "'), ("", '""'),
    ('a"b', r'"a\"b"'), ("a\\b", r'"a\\b"'), ("\t\r\n", r'"\t\r\n"'), ("x\x01y", r'"x\u{1}y"'),
    ("\x1b", r'"\u{1b}"'), ("\x7f", r'"\u{7f}"'), ("caf\u00e9", '"caf\u00e9"'),
])
@pytest.mark.parametrize("option", ["restart", "ccmin"])
def test_unknown_option_message(option, value, shown):
    with pytest.raises(ValueError) as e:
        nn.Solver(**{option: value})
    assert str(e.value) == f"unknown {option} {shown}"
    assert not getattr(e.value, "__notes__", None)


def test_restart_reported_before_ccmin_and_conversions_before_both():
    with pytest.raises(ValueError, match='^unknown restart "x"$'):
        nn.Solver(restart="x", ccmin="y")
    with pytest.raises(ValueError, match='^unknown ccmin "y"$'):
        nn.Solver(restart="none", ccmin="y")
    with pytest.raises(OverflowError) as e:
        nn.Solver(restart="x", walk_flips=-1)
    assert notes(e.value) == expect_notes(["while processing 'walk_flips'"])
    with pytest.raises(OverflowError) as e:
        nn.Solver(restart="x", ccmin="y", rnd_seed=2**32)
    assert str(e.value) == RANGE and notes(e.value) == expect_notes(["while processing 'rnd_seed'"])
    # parameters convert in declaration order, whatever the keyword order of the call
    with pytest.raises(TypeError) as e:
        nn.Solver(rnd_seed=-1, glue_keep=-1, phase_saving=1)
    assert notes(e.value) == expect_notes(["while processing 'phase_saving'"])


BAD_VALUES = {  # (value, exception, message or None) by kind of parameter
    "u32": [(-1, OverflowError, RANGE), (2**32, OverflowError, RANGE), (1.0, TypeError, None), ("1", TypeError, None),
            (2**64, OverflowError, None)],
    "u64": [(-1, OverflowError, None), (2**64, OverflowError, None), (1.5, TypeError, None), (None, TypeError, None)],
    "float": [("0.5", TypeError, None), (None, TypeError, None), (10**400, OverflowError, None)],
    "bool": [(1, TypeError, "'int' object is not an instance of 'bool'"),
             (None, TypeError, "'None' is not an instance of 'bool'"),
             ("yes", TypeError, "'str' object is not an instance of 'bool'")],
    "str": [(1, TypeError, "'int' object is not an instance of 'str'"),
            (None, TypeError, "'None' is not an instance of 'str'"),
            (b"luby", TypeError, "'bytes' object is not an instance of 'str'"), ("\ud800", UnicodeEncodeError, None)],
}


@pytest.mark.parametrize("name", [n for n, _ in SOLVER_PARAMS])
def test_parameter_conversion_errors(name):
    for value, exc, message in BAD_VALUES[KIND[name]]:
        with pytest.raises(exc) as e:
            nn.Solver(**{name: value})
        assert type(e.value) is exc, (name, value)
        if message is not None:
            assert str(e.value) == message
        assert notes(e.value) == expect_notes([f"while processing '{name}'"])


def test_parameter_edge_values_accepted():
    class Idx:
        def __index__(self):
            return 7

    assert nn.Solver(Idx()).nvars == 7 and nn.Solver(True).nvars == 1
    big64 = {n: 2**64 - 1 for n, kind in KIND.items() if kind == "u64"}
    big64["walk_interval"] = 2**32
    nn.Solver(glue_keep=2**32 - 1, rnd_seed=2**32 - 1, **big64)
    nn.Solver(var_decay=1, var_decay_max=True, cla_decay=1, luby_base=7, rnd_freq=0)
    np = pytest.importorskip("numpy")
    s = nn.Solver(2, phase_saving=np.False_, target_phase=np.True_, var_decay=np.float64(0.9))
    s.add_clause([0, 2])
    assert s.solve() is True


# ---------------------------------------------------------------- enable_proof / add_clause


def test_enable_proof_rules():
    s = nn.Solver(3)
    assert s.enable_proof() is None and s.enable_proof() is None
    s.new_var()
    assert s.enable_proof() is None
    with pytest.raises(TypeError):
        s.add_clause("01")  # a failed conversion adds no clause
    assert s.enable_proof() is None
    s.add_clause([0, 2])
    with pytest.raises(ValueError) as e:
        s.enable_proof()
    assert str(e.value) == ("enable_proof() must be called before any clause is added: a proof that starts "
                            "midway through the formula is not a proof")
    assert not getattr(e.value, "__notes__", None)
    for first in (lambda s: s.solve(), lambda s: s.add_clause([0, 1])):  # a tautology counts as added
        s = nn.Solver()
        first(s)
        with pytest.raises(ValueError, match="^enable_proof\\(\\) must be called before any clause is added"):
            s.enable_proof()
        assert s.proof_steps() == []


@pytest.mark.parametrize("lits,exc,message", [
    ("12", TypeError, "Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (iter([1, 2]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    ([1, -1], OverflowError, RANGE),
    ([1, 2**32], OverflowError, RANGE),
    ([1.5], TypeError, None),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
])
def test_add_clause_conversion_errors(lits, exc, message):
    s = nn.Solver(2)
    s.add_clause([0, 2])
    before = stats(s)
    with pytest.raises(exc) as e:
        s.add_clause(lits)
    if message:
        assert str(e.value) == message
    assert notes(e.value) == expect_notes(["while processing 'lits'"])
    assert stats(s) == before and s.nvars == 2 and s.ok and s.check_watch_invariant() == []


@pytest.mark.parametrize("lits", [(0, 2), range(0, 4, 2), b"\x00\x02", bytearray(b"\x00\x02")])
def test_add_clause_sequence_kinds(lits):
    s = nn.Solver()
    assert s.add_clause(lits) is True and s.nvars == 2
    s.add_clause([1])
    assert s.solve() is True and s.model == [False, True]


# ---------------------------------------------------------------- solve arguments, budgets and the model


@pytest.mark.parametrize("kwargs", [dict(max_conflicts=0), dict(seconds=0.0), dict(seconds=-0.0),
                                    dict(max_conflicts=0, seconds=100.0), dict(seconds=False)])
def test_zero_budget_is_unknown(kwargs):
    assert nn.Solver().solve(**kwargs) is None
    nvars, clauses = pigeonhole(4)
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    assert s.solve(**kwargs) is None and s.ok and s.model == [] and s.conflicts == 0
    assert s.solve() is False
    assert s.solve(**kwargs) is False  # already unsatisfiable


def test_time_limit():
    nvars, clauses = pigeonhole(9)
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    t = time.perf_counter()
    assert s.solve(seconds=0.05) is None
    assert time.perf_counter() - t < 2.0
    c1 = s.conflicts
    assert c1 > 0 and s.ok and s.model == [] and s.check_watch_invariant() == []
    assert s.solve(max_conflicts=10, seconds=3600) is None
    assert s.conflicts >= c1 + 10
    assert s.solve(max_conflicts=1, seconds=1) is None  # an int converts to a float
    # A search that meets no conflict sees its time limit too: deciding 300000 free variables
    # takes far longer than a millisecond.
    free = nn.Solver(300_000)
    assert free.solve(seconds=0.001) is None and free.conflicts == 0


@pytest.mark.parametrize("seconds,message", [
    (-1.0, NEGATIVE), (-1e-300, NEGATIVE), (-math.inf, NEGATIVE), (math.nan, TOO_BIG), (math.inf, TOO_BIG),
    (2.0**64, TOO_BIG), (1e300, TOO_BIG), (1e19, OVERFLOW_INSTANT), (2.0**63, OVERFLOW_INSTANT),
])
def test_bad_seconds_are_value_errors_and_leave_solver_unchanged(seconds, message):
    nvars, clauses = pigeonhole(4)
    s = nn.Solver(nvars)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    assert s.solve(max_conflicts=5) is None
    before = (stats(s), s.proof_steps(), s.model)
    with pytest.raises(ValueError) as e:
        s.solve(seconds=seconds, release_gil=True)
    assert str(e.value) == message and e.value.args == (message,) and notes(e.value) == []
    assert (stats(s), s.proof_steps(), s.model) == before and s.check_watch_invariant() == []
    assert s.solve() is False
    assert_answer(nvars, clauses, s, False)
    # on a fresh solver the failed call does not count as a solve
    s = nn.Solver(2)
    with pytest.raises(ValueError):
        s.solve(seconds=seconds)
    assert s.enable_proof() is None and stats(s) == (0,) * 11


@pytest.mark.parametrize("kwargs,exc,note", [
    (dict(max_conflicts=-1), OverflowError, "max_conflicts"),
    (dict(max_conflicts=2**64), OverflowError, "max_conflicts"),
    (dict(max_conflicts=1.0), TypeError, "max_conflicts"),
    (dict(max_conflicts="5"), TypeError, "max_conflicts"),
    (dict(seconds="1"), TypeError, "seconds"),
    (dict(seconds=10**400), OverflowError, "seconds"),
    (dict(max_conflicts=-1, seconds="x"), OverflowError, "max_conflicts"),
])
def test_solve_conversion_errors(kwargs, exc, note):
    s = nn.Solver(2)
    s.add_clause([0, 2])
    with pytest.raises(exc) as e:
        s.solve(**kwargs)
    assert notes(e.value) == expect_notes([f"while processing '{note}'"])
    assert stats(s) == (0,) * 11
    assert s.solve() is True


def test_solve_accepts_index_objects_and_returns_fresh_lists():
    class Idx:
        def __index__(self):
            return 3

    s = nn.Solver(2)
    s.enable_proof()
    s.add_clause([0, 2, 4])
    s.add_clause([1])  # shortens the first clause: a proof step
    assert s.solve(Idx(), 2.5) is True and s.solve(max_conflicts=2**64 - 1) is True
    m, steps = s.model, s.proof_steps()
    m[0] = "changed"
    steps.clear()
    assert s.model[0] is False and s.proof_steps() != []


def test_solve_arguments_cannot_reenter_and_other_solvers_stay_free():
    # (every entry refused inside add_clause: test_hostile.py)
    s, t, seen = nn.Solver(3), nn.Solver(), []

    class Budget:
        def __index__(self):
            try:
                s.add_clause([1])
            except RuntimeError as e:
                seen.append(str(e))
            t.add_clause([2])
            return 100

    assert s.solve(Budget()) is True and seen == ["Already borrowed"] and t.nvars == 2
    assert s.add_clause([1]) is True and s.solve() is True and s.model[0] is False


# ---------------------------------------------------------------- benchmark instances

SMALL = ["uf50-01.cnf.xz", "uuf50-01.cnf.xz", "uuf75-01.cnf.xz", "flat30-1.cnf.xz", "hole6.cnf.xz",
         "dubois20.cnf.xz", "pret60_25.cnf.xz", "aim-50-1_6-yes1-1.cnf.xz", "aim-100-1_6-no-1.cnf.xz",
         "jnh1.cnf.xz", "jnh2.cnf.xz", "ssa0432-003.cnf.xz", "par8-1-c.cnf.xz", "ii8a1.cnf.xz"]


@pytest.mark.parametrize("file", SMALL)
def test_bench_instance(file):
    rows = {r["file"]: r for r in bench_instances()}
    if file not in rows or not (BENCH / "cnf" / file).exists():
        pytest.skip("benchmark instances not available")
    nvars, clauses = read_dimacs_xz(BENCH / "cnf" / file)
    assert nvars == int(rows[file]["vars"]) and len(clauses) == int(rows[file]["clauses"])
    s, r = solve_formula(nvars, clauses)
    assert r == {"SAT": True, "UNSAT": False}[rows[file]["expected"]]
    assert_answer(nvars, clauses, s, r)
    assert repr(s) == f"<native.Solver vars={nvars} conflicts={s.conflicts}>"
