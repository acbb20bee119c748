"""The Solver class: options, clauses, budgets, answers, proofs and determinism."""
import math
import random
import subprocess
import sys
import time

import pytest

import norvane_native as nn
from conftest import BENCH, bench_instances, expect_notes, notes, read_dimacs_xz, satisfies, to_steps

# (name, default) of the 21 constructor parameters, in declaration order.
PARAMS = [
    ("nvars", 0), ("restart", "luby"), ("ccmin", "deep"), ("phase_saving", True), ("init_phase", False),
    ("target_phase", True), ("target_reset", 0), ("walk_flips", 20000), ("walk_interval", 1),
    ("walk_patience", 3), ("walk_min_conflicts", 5000), ("var_decay", 0.8), ("var_decay_max", 0.95),
    ("cla_decay", 0.999), ("luby_base", 100.0), ("first_reduce", 2000), ("reduce_inc", 300),
    ("glue_keep", 2), ("block_restart", True), ("rnd_freq", 0.0), ("rnd_seed", 91648253),
]
U32 = ["nvars", "glue_keep", "rnd_seed"]
U64 = ["target_reset", "walk_flips", "walk_interval", "walk_patience", "walk_min_conflicts", "first_reduce",
       "reduce_inc"]
FLOAT = ["var_decay", "var_decay_max", "cla_decay", "luby_base", "rnd_freq"]
BOOL = ["phase_saving", "init_phase", "target_phase", "block_restart"]
STR = ["restart", "ccmin"]
STATS = ["decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail"]
RANGE = "out of range integral type conversion attempted"
ENABLE_MSG = ("enable_proof() must be called before any clause is added: a proof that starts midway through "
              "the formula is not a proof")
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OVERFLOW_INSTANT = "overflow when adding duration to instant"

# Options that make tiny formulas go through restarts, reductions and walks.
BUSY = dict(luby_base=1.0, first_reduce=3, reduce_inc=1, glue_keep=0, walk_min_conflicts=0, walk_flips=64)


def stats(s):
    return tuple(getattr(s, name) for name in STATS)


def php(holes):
    """Pigeonhole: holes+1 pigeons into `holes` holes (unsatisfiable), internal literals."""
    var = lambda p, h: p * holes + h  # noqa: E731
    cls = [[2 * var(p, h) for h in range(holes)] for p in range(holes + 1)]
    for h in range(holes):
        for p in range(holes + 1):
            for q in range(p + 1, holes + 1):
                cls.append([2 * var(p, h) + 1, 2 * var(q, h) + 1])
    return (holes + 1) * holes, cls


def models_mask(nvars, clauses):
    """Bit a of the result is set when assignment a (bit v = variable v) satisfies every clause."""
    full = (1 << (1 << nvars)) - 1
    pos = []
    for v in range(nvars):
        block = (1 << (1 << v)) - 1
        m = 0
        for start in range(1 << v, 1 << nvars, 1 << (v + 1)):
            m |= block << start
        pos.append(m)
    res = full
    for c in clauses:
        cm = 0
        for l in c:
            cm |= pos[l >> 1] ^ full if l & 1 else pos[l >> 1]
        res &= cm
    return res


def random_formula(rng, nvars, nclauses):
    out = []
    for _ in range(nclauses):
        k = rng.choice([1, 2, 2, 3, 3, 3, 3, 4, 5])
        out.append([rng.randrange(2 * nvars) for _ in range(k)])
    return out


def solve_formula(nvars, clauses, proof=True, **opts):
    s = nn.Solver(nvars, **opts)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
        assert s.check_watch_invariant() == []
    r = s.solve()
    assert s.check_watch_invariant() == []
    return s, r


def assert_proof_checks(nvars, clauses, steps):
    assert steps and steps[-1] == ("a", [])
    assert all(kind in ("a", "d") and 0 not in lits for kind, lits in steps)
    res = nn.check_proof(nvars, clauses, to_steps(steps))
    assert res[0] and res[9], res


def assert_answer(nvars, clauses, s, r):
    """A Sat answer's model satisfies the clauses; an Unsat answer's proof checks."""
    assert r in (True, False)
    if r:
        assert len(s.model) == s.nvars >= nvars
        assert all(type(b) is bool for b in s.model)
        assert satisfies(clauses, s.model)
        assert s.ok and s.max_trail == s.nvars
    else:
        assert s.model == [] and not s.ok
        assert_proof_checks(nvars, clauses, s.proof_steps())


# ---------------------------------------------------------------- construction


def test_fresh_solver():
    s = nn.Solver()
    assert (s.nvars, s.ok, s.model, repr(s)) == (0, True, [], "<native.Solver vars=0 conflicts=0>")
    assert stats(s) == (0,) * 11
    assert s.proof_steps() == [] and s.check_watch_invariant() == []
    s = nn.Solver(5)
    assert s.nvars == 5 and s.new_var() == 5 and s.nvars == 6 and s.new_var() == 6
    assert repr(s) == "<native.Solver vars=7 conflicts=0>"
    assert s.check_watch_invariant() == []


def test_signature_lists_the_defaults():
    assert sorted(U32 + U64 + FLOAT + BOOL + STR) == sorted(n for n, _ in PARAMS)
    sig = ", ".join(f"{n}={d!r}".replace("'", '"') for n, d in PARAMS)
    assert nn.Solver.__text_signature__ == f"({sig})"


def test_docstrings():
    assert nn.Solver.__doc__ == (
        "The native CDCL search core (Sprint 2).\n\n"
        "Deliberately mirrors `norvane.solver.Solver` so the two can be compared\n"
        "bit-for-bit while the port is intentionally faithful.")
    assert nn.Solver.enable_proof.__doc__ == (
        "Turn on DRAT proof logging.  Must be called before any clause is added,\n"
        "since a proof that starts midway through is not a proof.")
    assert nn.Solver.proof_steps.__doc__ == 'The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}.'
    for name, sig in [("new_var", "($self)"), ("enable_proof", "($self)"), ("proof_steps", "($self)"),
                      ("add_clause", "($self, lits)"), ("solve", "($self, max_conflicts=None, seconds=None)"),
                      ("check_watch_invariant", "($self)")]:
        assert getattr(nn.Solver, name).__text_signature__ == sig
    for name in ["model", "nvars", "ok"] + STATS:
        prop = getattr(nn.Solver, name)
        assert prop.__doc__ is None
        with pytest.raises(AttributeError):
            setattr(nn.Solver(), name, 1)


def test_defaults_positional_and_keyword_give_the_same_search():
    nvars, clauses = php(5)
    ref, r = solve_formula(nvars, clauses)
    assert r is False
    explicit, _ = solve_formula(nvars, clauses, **dict(PARAMS[1:]))
    positional = nn.Solver(*[d for _, d in PARAMS])
    positional.enable_proof()
    for c in clauses:
        positional.add_clause(c)
    assert positional.solve() is False
    assert stats(ref) == stats(explicit) == stats(positional)
    assert ref.proof_steps() == explicit.proof_steps() == positional.proof_steps()


def test_positional_order():
    # the second positional argument is `restart`, the third `ccmin`
    with pytest.raises(ValueError, match='^unknown restart "deep"$'):
        nn.Solver(0, "deep")
    with pytest.raises(ValueError, match='^unknown ccmin "luby"$'):
        nn.Solver(0, "luby", "luby")
    assert nn.Solver(3, "glucose", "none", False).nvars == 3


@pytest.mark.parametrize("restart", ["glucose", "luby", "none"])
@pytest.mark.parametrize("ccmin", ["deep", "basic", "none"])
def test_option_strings_accepted(restart, ccmin):
    assert nn.Solver(2, restart=restart, ccmin=ccmin).nvars == 2


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


def _bad_values(name):
    if name in U32:
        return [(-1, OverflowError, RANGE), (2**32, OverflowError, RANGE), (1.0, TypeError, None),
                ("1", TypeError, None), (2**64, OverflowError, None)]
    if name in U64:
        return [(-1, OverflowError, None), (2**64, OverflowError, None), (1.5, TypeError, None),
                (None, TypeError, None)]
    if name in FLOAT:
        return [("0.5", TypeError, None), (None, TypeError, None), (10**400, OverflowError, None)]
    if name in BOOL:
        return [(1, TypeError, "'int' object is not an instance of 'bool'"),
                (None, TypeError, "'None' is not an instance of 'bool'"),
                ("yes", TypeError, "'str' object is not an instance of 'bool'")]
    return [(1, TypeError, "'int' object is not an instance of 'str'"),
            (None, TypeError, "'None' is not an instance of 'str'"),
            (b"luby", TypeError, "'bytes' object is not an instance of 'str'"),
            ("\ud800", UnicodeEncodeError, None)]


@pytest.mark.parametrize("name", [n for n, _ in PARAMS])
def test_parameter_conversion_errors(name):
    for value, exc, message in _bad_values(name):
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

    assert nn.Solver(Idx()).nvars == 7
    assert nn.Solver(True).nvars == 1
    big64 = {n: 2**64 - 1 for n in U64}
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
    assert str(e.value) == ENABLE_MSG and not getattr(e.value, "__notes__", None)

    s = nn.Solver()
    assert s.solve() is True
    with pytest.raises(ValueError, match="^enable_proof\\(\\) must be called before any clause is added"):
        s.enable_proof()
    assert s.proof_steps() == []
    # a clause that adds nothing (tautology) still counts as added
    s = nn.Solver()
    assert s.add_clause([0, 1]) is True
    with pytest.raises(ValueError):
        s.enable_proof()


def test_units_contradiction_proof():
    s = nn.Solver()
    s.enable_proof()
    assert s.add_clause([0]) is True and s.add_clause([1]) is False
    assert s.proof_steps() == [("a", [])] and not s.ok
    assert s.add_clause([2, 4]) is False and s.solve() is False
    assert s.proof_steps() == [("a", [])]
    s = nn.Solver()
    s.add_clause([0])
    s.add_clause([1])
    assert s.proof_steps() == []


def test_level_zero_cleanup_is_logged():
    s = nn.Solver()
    s.enable_proof()
    for c in ([0, 2, 4], [3, 6], [6, 8], [1], [6]):
        assert s.add_clause(c) is True
    assert s.proof_steps() == []
    assert s.solve() is True and satisfies([[0, 2, 4], [3, 6], [6, 8], [1], [6]], s.model)
    # [x0, x1, x2] was reordered to [x1, x2, x0] by the propagation of -x0; the satisfied clauses go
    assert s.proof_steps() == [("a", [2, 3]), ("d", [2, 3, 1]), ("d", [-2, 4]), ("d", [4, 5])]
    assert s.deleted == 0 and s.conflicts == 0
    steps = s.proof_steps()
    steps.clear()
    assert len(s.proof_steps()) == 4  # a fresh list every time
    # the reason of a level-0 assignment stays, satisfied or not
    s = nn.Solver()
    s.enable_proof()
    s.add_clause([0, 2])
    s.add_clause([1])
    assert s.solve() is True and s.model == [False, True] and s.proof_steps() == []


def test_add_clause_edge_cases():
    s = nn.Solver()
    assert s.add_clause([4, 4]) is True  # duplicates collapse to the unit x2
    assert s.nvars == 3 and s.propagations == 1 and s.ok
    assert s.add_clause([5]) is False and not s.ok

    s = nn.Solver()
    assert s.add_clause([0, 1, 10]) is True  # tautology seen before literal 10: no variable 5
    assert s.nvars == 1
    assert s.add_clause([10, 0, 1]) is True
    assert s.nvars == 6

    s = nn.Solver()
    assert s.add_clause([]) is False and not s.ok and s.solve() is False

    s = nn.Solver(3)
    assert s.add_clause([0]) is True
    assert s.add_clause([1, 2, 4]) is True  # stored as [x1, x2]
    assert s.add_clause([0, 3]) is True  # satisfied at level 0
    assert s.add_clause([3]) is True  # x1 false -> x2 true through the stored clause
    assert s.check_watch_invariant() == []
    assert s.add_clause([5]) is False

    s = nn.Solver()
    assert s.add_clause([2**16]) is True and s.nvars == 2**15 + 1
    assert s.solve() is True and s.model[2**15] is True and s.model.count(True) == 1


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
    assert stats(s) == before and s.nvars == 2 and s.ok
    assert s.check_watch_invariant() == []


@pytest.mark.parametrize("lits", [(0, 2), range(0, 4, 2), b"\x00\x02", bytearray(b"\x00\x02")])
def test_add_clause_sequence_kinds(lits):
    s = nn.Solver()
    assert s.add_clause(lits) is True and s.nvars == 2
    s.add_clause([1])
    assert s.solve() is True and s.model == [False, True]


def test_huge_literal_is_memory_error_and_solver_stays_usable():
    s = nn.Solver(2)
    s.enable_proof()
    s.add_clause([0, 2])
    for lits in ([4294967294], [1, 3, 4294967295]):
        with pytest.raises(MemoryError):
            s.add_clause(lits)
        assert s.nvars == 2 and s.ok and s.check_watch_invariant() == []
    s.add_clause([1])
    assert s.solve() is True and s.model == [False, True]
    s.add_clause([3])
    assert s.solve() is False
    assert_proof_checks(2, [[0, 2], [1], [3]], s.proof_steps())


# ---------------------------------------------------------------- solve arguments and budgets


def test_solve_without_clauses_and_phases():
    assert nn.Solver().solve() is True
    s = nn.Solver(4)
    assert s.solve() is True and s.model == [False] * 4 and s.max_trail == 4 and s.decisions == 4
    assert repr(s) == "<native.Solver vars=4 conflicts=0>"
    # decisions use the target phase (false until seen on a best trail) unless it is switched off
    assert solve_formula(3, [], init_phase=True)[0].model == [False] * 3
    assert solve_formula(3, [], init_phase=True, target_phase=False)[0].model == [True] * 3
    assert solve_formula(3, [], init_phase=False, target_phase=False)[0].model == [False] * 3


@pytest.mark.parametrize("kwargs", [dict(max_conflicts=0), dict(seconds=0.0), dict(seconds=-0.0),
                                    dict(max_conflicts=0, seconds=100.0), dict(seconds=False)])
def test_zero_budget_is_unknown(kwargs):
    assert nn.Solver().solve(**kwargs) is None
    nvars, clauses = php(4)
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    assert s.solve() is False
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    assert s.solve(**kwargs) is None and s.ok and s.model == [] and s.check_watch_invariant() == []
    assert s.solve() is False
    assert s.solve(**kwargs) is False  # already unsatisfiable


def test_conflict_budget_and_continuation():
    nvars, clauses = php(5)
    ref, _ = solve_formula(nvars, clauses)

    def split_run():
        s = nn.Solver(nvars)
        s.enable_proof()
        for c in clauses:
            s.add_clause(c)
        seen = []
        prev = stats(s)
        while True:
            r = s.solve(max_conflicts=50)
            cur = stats(s)
            assert all(b >= a for a, b in zip(prev, cur))  # cumulative
            assert s.check_watch_invariant() == []
            if r is not None:
                break
            assert s.model == [] and s.ok
            assert cur[2] - prev[2] >= 50
            seen.append(cur)
            prev = cur
        assert r is False
        return s, seen

    a, seen_a = split_run()
    b, seen_b = split_run()
    assert len(seen_a) >= 2
    assert seen_a == seen_b and stats(a) == stats(b) and a.proof_steps() == b.proof_steps()
    assert_proof_checks(nvars, clauses, a.proof_steps())
    assert a.conflicts >= 50 * len(seen_a)
    assert ref.conflicts > 50


def test_time_limit():
    nvars, clauses = php(9)
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


@pytest.mark.parametrize("seconds,message", [
    (-1.0, NEGATIVE), (-1e-300, NEGATIVE), (-math.inf, NEGATIVE), (math.nan, TOO_BIG), (math.inf, TOO_BIG),
    (2.0**64, TOO_BIG), (1e300, TOO_BIG), (1e19, OVERFLOW_INSTANT), (2.0**63, OVERFLOW_INSTANT),
])
def test_bad_seconds_panic_and_leave_solver_unchanged(panic, seconds, message):
    nvars, clauses = php(4)
    s = nn.Solver(nvars)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    assert s.solve(max_conflicts=5) is None
    before = (stats(s), s.proof_steps(), s.model)
    caught_by_exception = False
    try:
        try:
            s.solve(seconds=seconds)
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by_exception = True
    except panic as e:
        assert str(e) == message and e.args == (message,)
    assert not caught_by_exception
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert (stats(s), s.proof_steps(), s.model) == before
    assert s.check_watch_invariant() == []
    assert s.solve() is False
    assert_proof_checks(nvars, clauses, s.proof_steps())


def test_bad_seconds_runs_no_search_on_fresh_solver(panic):
    s = nn.Solver(2)
    with pytest.raises(panic):
        s.solve(seconds=math.nan)
    assert s.enable_proof() is None  # the failed call did not count as a solve
    assert stats(s) == (0,) * 11


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


def test_solve_accepts_index_objects():
    class Idx:
        def __index__(self):
            return 3

    s = nn.Solver(2)
    s.add_clause([0, 2])
    assert s.solve(Idx(), 2.5) is True
    assert s.solve(max_conflicts=2**64 - 1) is True


# ---------------------------------------------------------------- model life cycle


def test_model_is_emptied_by_every_solve():
    s = nn.Solver()
    s.add_clause([0])
    assert s.solve() is True and s.model == [True]
    assert s.add_clause([1]) is False
    assert s.solve() is False
    assert s.model == [] and not s.ok
    assert s.solve() is False and s.model == []

    s = nn.Solver(3)
    assert s.solve() is True and len(s.model) == 3
    assert s.solve(max_conflicts=0) is None and s.model == []
    assert s.solve() is True and len(s.model) == 3
    m = s.model
    m[0] = "changed"
    assert s.model[0] is False  # a fresh copy every time


def test_enumerate_models_with_blocking_clauses():
    rng = random.Random(7)
    for _ in range(25):
        nvars = rng.randint(1, 6)
        clauses = random_formula(rng, nvars, rng.randint(0, 3 * nvars))
        expected = bin(models_mask(nvars, clauses)).count("1")
        s = nn.Solver(nvars, **BUSY)
        s.enable_proof()
        for c in clauses:
            s.add_clause(c)
        found = set()
        all_clauses = list(clauses)
        while s.solve():
            m = tuple(s.model)
            assert satisfies(all_clauses, m) and m not in found
            found.add(m)
            block = [2 * v + int(b) for v, b in enumerate(m)]
            all_clauses.append(block)
            s.add_clause(block)
            assert s.check_watch_invariant() == []
        assert len(found) == expected
        assert_proof_checks(nvars, all_clauses, s.proof_steps())


# ---------------------------------------------------------------- answers, models and proofs


@pytest.mark.parametrize("restart", ["glucose", "luby", "none"])
@pytest.mark.parametrize("ccmin", ["deep", "basic", "none"])
def test_random_formulas_agree_with_brute_force(restart, ccmin):
    rng = random.Random(f"{restart}/{ccmin}")
    for i in range(150):
        nvars = rng.randint(1, 12)
        clauses = random_formula(rng, nvars, rng.randint(0, 6 * nvars))
        opts = dict(BUSY) if i % 2 else {}
        s, r = solve_formula(nvars, clauses, restart=restart, ccmin=ccmin, **opts)
        assert r == (models_mask(nvars, clauses) != 0), clauses
        assert_answer(nvars, clauses, s, r)
        if ccmin == "none":
            assert s.minimized_lits == 0
        if restart == "none":
            assert s.restarts == 0


HEURISTICS = {
    "all-off": dict(phase_saving=False, target_phase=False, walk_flips=0, block_restart=False),
    "no-phase-saving": dict(phase_saving=False),
    "no-target": dict(target_phase=False, init_phase=True),
    "target-reset": dict(target_reset=1),
    "random": dict(rnd_freq=0.5, rnd_seed=12345),
    "random-always": dict(rnd_freq=1.0, rnd_seed=1),
    "random-seed-0": dict(rnd_freq=0.3, rnd_seed=0),
    "walk": dict(walk_min_conflicts=0, walk_flips=200, walk_patience=1000),
    "walk-interval-3": dict(walk_min_conflicts=0, walk_flips=100, walk_interval=3, walk_patience=1000),
    "all-on": dict(phase_saving=True, target_phase=True, rnd_freq=0.2, walk_min_conflicts=0, walk_flips=300,
                   walk_patience=1000, target_reset=2),
    "decay": dict(var_decay=0.99, var_decay_max=0.5, cla_decay=0.5),
}


@pytest.mark.parametrize("name", list(HEURISTICS))
def test_heuristics_agree_with_brute_force(name):
    rng = random.Random(name)
    for i in range(100):
        nvars = rng.randint(1, 12)
        clauses = random_formula(rng, nvars, rng.randint(0, 6 * nvars))
        opts = dict(HEURISTICS[name], luby_base=1.0, first_reduce=2, reduce_inc=1, glue_keep=0)
        opts["restart"] = ["luby", "glucose"][i % 2]
        s, r = solve_formula(nvars, clauses, **opts)
        assert r == (models_mask(nvars, clauses) != 0), clauses
        assert_answer(nvars, clauses, s, r)


@pytest.mark.parametrize("name", ["default", "glucose-basic", "walk", "random", "reduce"])
def test_threshold_formulas_models_and_proofs(name):
    opts = {"default": {}, "glucose-basic": dict(restart="glucose", ccmin="basic"),
            "walk": dict(walk_min_conflicts=0, luby_base=10.0), "random": dict(rnd_freq=0.1),
            "reduce": dict(first_reduce=20, reduce_inc=5, glue_keep=1)}[name]
    rng = random.Random(name)
    answers = set()
    reductions = 0
    for _ in range(6):
        nvars = rng.randint(30, 45)
        clauses = [[2 * v + rng.randrange(2) for v in rng.sample(range(nvars), 3)]
                   for _ in range(round(4.3 * nvars))]
        s, r = solve_formula(nvars, clauses, **opts)
        assert_answer(nvars, clauses, s, r)
        answers.add(r)
        reductions += s.reductions
    assert answers == {True, False}
    assert (reductions > 0) == (name == "reduce")


def test_option_effects():
    nvars, clauses = php(5)
    base, _ = solve_formula(nvars, clauses)
    assert base.restarts > 0 and base.minimized_lits > 0
    s, _ = solve_formula(nvars, clauses, restart="none")
    assert s.restarts == 0
    s, _ = solve_formula(nvars, clauses, luby_base=5.0)
    assert s.restarts > base.restarts
    s, _ = solve_formula(nvars, clauses, ccmin="none")
    assert s.minimized_lits == 0
    s, _ = solve_formula(nvars, clauses, first_reduce=10, reduce_inc=0)
    assert s.conflicts - 10 <= s.reductions <= s.conflicts - 9 and s.deleted > 0
    assert any(k == "d" for k, _ in s.proof_steps())
    s, _ = solve_formula(nvars, clauses, first_reduce=10, reduce_inc=0, glue_keep=2**32 - 1)
    assert s.reductions > 0 and s.deleted == 0
    a, _ = solve_formula(nvars, clauses, rnd_freq=0.5, rnd_seed=1)
    b, _ = solve_formula(nvars, clauses, rnd_freq=0.5, rnd_seed=2)
    assert stats(a) != stats(b)


def test_walk_interval_zero_runs_no_walk():
    nvars, clauses = php(5)
    busy = dict(walk_min_conflicts=0, luby_base=2.0, walk_patience=10**6)
    with_walk, _ = solve_formula(nvars, clauses, **busy)
    no_walk, _ = solve_formula(nvars, clauses, walk_flips=0, **busy)
    zero, r = solve_formula(nvars, clauses, walk_interval=0, **busy)
    assert r is False
    assert stats(zero) == stats(no_walk) and zero.proof_steps() == no_walk.proof_steps()
    no_patience, _ = solve_formula(nvars, clauses, **dict(busy, walk_patience=0))
    assert stats(no_patience) == stats(no_walk)
    assert stats(with_walk) != stats(no_walk)  # the walk does change the search
    rng = random.Random(3)
    for _ in range(30):
        n = rng.randint(1, 10)
        cl = random_formula(rng, n, rng.randint(0, 6 * n))
        s, r = solve_formula(n, cl, walk_interval=0, walk_min_conflicts=0, luby_base=1.0)
        assert r == (models_mask(n, cl) != 0)
        assert_answer(n, cl, s, r)


LUBY_SCRIPT = """
import sys
import norvane_native as nn
base = float(sys.argv[1])
holes = 5
var = lambda p, h: p * holes + h
s = nn.Solver(restart="luby", luby_base=base)
s.enable_proof()
for p in range(holes + 1):
    s.add_clause([2 * var(p, h) for h in range(holes)])
for h in range(holes):
    for p in range(holes + 1):
        for q in range(p + 1, holes + 1):
            s.add_clause([2 * var(p, h) + 1, 2 * var(q, h) + 1])
print(s.solve(), s.restarts, s.conflicts, s.check_watch_invariant() == [])
s = nn.Solver(3, luby_base=base)
print(s.solve(), s.restarts)
"""


@pytest.mark.parametrize("base", ["0.0", "-5.0", "-inf", "nan"])
def test_non_positive_luby_base_terminates(base):
    # run in a child process: a solver that restarted forever would hang the test run
    out = subprocess.run([sys.executable, "-c", LUBY_SCRIPT, base], capture_output=True, text=True, timeout=20)
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.split("\n")[:2]
    answer, restarts, conflicts, inv = first.split()
    assert answer == "False" and inv == "True"
    if base != "nan":
        assert 0 < int(restarts) <= int(conflicts)  # at most one restart per conflict
    assert second == "True 0"


def test_identical_runs_identical_results():
    nvars, clauses = php(5)
    rng = random.Random(11)
    sat_n = 40
    sat_clauses = [[2 * v + rng.randrange(2) for v in rng.sample(range(sat_n), 3)] for _ in range(150)]
    for opts in [{}, dict(restart="glucose", ccmin="basic"), dict(rnd_freq=0.3, rnd_seed=99),
                 dict(walk_min_conflicts=0, luby_base=3.0, walk_patience=50), dict(first_reduce=30, reduce_inc=3)]:
        for n, cl in [(nvars, clauses), (sat_n, sat_clauses)]:
            a, ra = solve_formula(n, cl, **opts)
            b, rb = solve_formula(n, cl, **opts)
            assert ra == rb and stats(a) == stats(b), opts
            assert a.model == b.model and a.proof_steps() == b.proof_steps()
            assert repr(a) == repr(b)


def test_proof_of_learned_clauses_kept_on_sat():
    rng = random.Random(5)
    for _ in range(20):
        n = 40
        cl = [[2 * v + rng.randrange(2) for v in rng.sample(range(n), 3)] for _ in range(160)]
        s, r = solve_formula(n, cl)
        if r and s.learned:
            steps = s.proof_steps()
            assert ("a", []) not in steps
            assert sum(1 for k, _ in steps if k == "a") >= s.learned
            res = nn.check_proof(n, cl, to_steps(steps))
            assert res[1] == "every step verified, but the proof never derives the empty clause"
            return
    pytest.fail("no satisfiable formula with learned clauses")


def test_clauses_added_between_solves_and_statistics_accumulate():
    rng = random.Random(21)
    n = 30
    all_clauses = []
    s = nn.Solver(n, luby_base=5.0)
    s.enable_proof()
    prev = stats(s)
    r = True
    while r:
        batch = [[2 * v + rng.randrange(2) for v in rng.sample(range(n), 3)] for _ in range(20)]
        for c in batch:
            s.add_clause(c)
            all_clauses.append(c)
        assert s.check_watch_invariant() == []
        r = s.solve()
        cur = stats(s)
        assert all(b >= a for a, b in zip(prev, cur))
        assert r == (s.model != [])
        if r:
            assert satisfies(all_clauses, s.model)
        prev = cur
    assert_proof_checks(n, all_clauses, s.proof_steps())


# ---------------------------------------------------------------- access state


def test_reentrant_calls_are_refused():
    s = nn.Solver(3)
    seen = []

    class Lits(list):
        def __iter__(self):
            for call in (lambda: s.add_clause([0]), lambda: s.nvars, lambda: s.model, lambda: repr(s),
                         lambda: s.new_var(), lambda: s.solve(), lambda: s.proof_steps(),
                         lambda: s.check_watch_invariant(), lambda: s.enable_proof()):
                try:
                    call()
                    seen.append(None)
                except RuntimeError as e:
                    seen.append(str(e))
            return super().__iter__()

    assert s.add_clause(Lits([0, 2])) is True
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed",
                    "Already mutably borrowed", "Already borrowed", "Already borrowed",
                    "Already mutably borrowed", "Already mutably borrowed", "Already borrowed"]
    assert s.nvars == 3 and s.check_watch_invariant() == []

    class Budget:
        def __index__(self):
            try:
                s.add_clause([1])
            except RuntimeError as e:
                seen.append(str(e))
            return 100

    seen.clear()
    assert s.solve(Budget()) is True
    assert seen == ["Already borrowed"]

    class Boom(list):
        def __iter__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError) as e:
        s.add_clause(Boom([1]))
    assert notes(e.value) == expect_notes(["while processing 'lits'"])
    assert s.add_clause([1]) is True and s.solve() is True and s.model[0] is False


def test_other_solvers_usable_during_iteration():
    s, t = nn.Solver(), nn.Solver()

    class Lits(list):
        def __iter__(self):
            t.add_clause([2])
            return super().__iter__()

    s.add_clause(Lits([0]))
    assert s.nvars == 1 and t.nvars == 2


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
