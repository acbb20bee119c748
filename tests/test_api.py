"""The public surface: every name against its text signature and docstring (one table), registration,
the binding conventions every entry shares (argument errors, conversions, notes), the option and counter
tables (the checked-in stub is what tools/gen_stub.py makes of them; the package reads them), and the
Solver's options, enable_proof, budgets and limits (every parameter refused with its note: test_hostile.py;
counters against the reference model: test_solver_reference.py; random formulas: test_fuzz.py)."""
import importlib.metadata
import inspect
import math
import subprocess
import sys
from pathlib import Path

import pytest

import norvane
import norvane_native as nn
from conftest import RANGE, SOLVER_KINDS, SOLVER_PARAMS, Index, pigeonhole, raises, random_3sat, solver, stats

TOOLS = Path(__file__).resolve().parents[1] / "tools"
sys.path.insert(0, str(TOOLS))
import gen_stub  # noqa: E402

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OVERFLOW_INSTANT = "overflow when adding duration to instant"
SOLVER_SIG = "(" + ", ".join(f"{n}={d!r}".replace("'", '"') for n, d in SOLVER_PARAMS) + ")"
# name: (text signature, docstring); a docstring ending in "..." is the start of a longer one.
SURFACE = {
    "ClauseDb": ("(nvars=0)", "A clause database living in native memory."),
    "ClauseDb.add_clause": ("($self, lits)", "Add a clause of internal literals.  False means it was a tautology."),
    "ClauseDb.add_dimacs": ("($self, lits)", "Add a clause of signed 1-based DIMACS literals."),
    "ClauseDb.clause": ("($self, i)", "Literals of clause `i`."),
    "ClauseDb.clauses": ("($self)", "Every clause, as a list of lists -- the round-trip out of the arena."),
    "ClauseDb.satisfied_by": ("($self, model)", "Whether every clause has a literal of `model`..."),
    "ClauseDb.read_dimacs": ("($self, path)", "Read a DIMACS CNF file (plain text; str, bytes or os.PathLike path)..."),
    "ClauseDb.parse_dimacs": ('($self, data, name="<data>")', "The same as read_dimacs, for DIMACS CNF content..."),
    "Solver": (SOLVER_SIG, "The native CDCL search core (Sprint 2).\n\nDeliberately mirrors `norvane.solver.Solver` "
                           "so the two can be compared\nbit-for-bit while the port is intentionally faithful."),
    "Solver.enable_proof": ("($self, path=None, binary=False)", "Turn on DRAT proof logging.  Must be called before "
                            "any clause is added,\nsince a proof that starts midway through is not a proof.\n\n..."),
    "Solver.proof_steps": ("($self)", 'The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}.'),
    "Solver.add_clauses": ("($self, clauses)", "Add many clauses: a sequence of clauses of internal literals..."),
    "Solver.solve": ("($self, max_conflicts=None, seconds=None, assumptions=None, release_gil=False)",
                     "Search for a model: True (see `model`), False (unsatisfiable) or None..."),
    "Solver.interrupt": ("($self)", "Ask a running solve() to stop: it returns None at its next check..."),
    "Solver.core": ("($self)", "The failed assumptions of the last solve..."),
    "Solver.propagate": ("($self, assumptions)", "Unit propagation of `assumptions`..."),
    "Preprocessor": ("(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False, proof_path=None, "
                     "proof_binary=False)", "Native preprocessor: subsumption, self-subsuming resolution..."),
    **{m: (f"($self{s})", None) for m, s in [
        ("Solver.new_var", ""), ("Solver.add_clause", ", lits"), ("Solver.check_watch_invariant", ""),
        ("Preprocessor.freeze", ", v"), ("Preprocessor.add_clause", ", lits"), ("Preprocessor.run", ", rounds=3"),
        ("Preprocessor.reduced", ""), ("Preprocessor.reconstruct", ", model"), ("Preprocessor.proof_steps", "")]},
    "Preprocessor.add_clauses": ("($self, clauses)", "Add every clause of `clauses`..."),
    "solve_portfolio": ("(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False, max_conflicts=None, "
                        "seconds=None)", "Run a threaded portfolio over one formula..."),
    "check_proof": ("(nvars, clauses, steps, check_rat=True, apply_deletions=True)",
                    "Check a DRAT proof against a formula..."),
    **{f: ("(l)", None) for f in ["neg", "var_of", "is_neg", "to_dimacs"]},
    "mk_lit": ("(v, negated=False)", None), "from_dimacs": ("(d)", None),
    "PanicException": (None, "Raised when the native code hits an internal fault..."),
}
# read-only properties without docstrings
PROPERTIES = {"ClauseDb": ["num_vars", "num_clauses", "num_lits", "memory_bytes"],
              "Solver": ["model", "nvars", "ok", "conflicts", "decisions", "propagations", "restarts", "learned",
                         "minimized_lits", "reductions", "blocked_restarts", "learned_lits", "deleted", "max_trail"],
              "Preprocessor": ["nvars", "unsat", "units", "subsumed", "strengthened", "eliminated_vars", "resolvents",
                               "pure", "reactivated"]}


def test_every_public_name_has_its_signature_and_docstring_and_the_module_its_registration():
    assert nn.__all__ == ["__doc__", "__version__", "ClauseDb", "Solver", "Preprocessor", "solve_portfolio",
                          "check_proof", "neg", "var_of", "is_neg", "mk_lit", "from_dimacs", "to_dimacs"]
    public = nn.__all__[2:] + ["PanicException"]
    public += [f"{c}.{m}" for c in ["ClauseDb", "Solver", "Preprocessor"] for m in vars(getattr(nn, c))
               if not m.startswith("_") and m not in PROPERTIES[c]]
    assert sorted(public) == sorted(SURFACE)
    for name, (sig, doc) in SURFACE.items():
        obj = eval("nn." + name)  # noqa: S307 - names from the table above
        assert getattr(obj, "__text_signature__", None) == sig, name
        if sig and not name.startswith(("ClauseDb", "Solver", "Preprocessor")):
            assert str(inspect.signature(obj)) == sig and obj.__module__ == "norvane_native"
        assert obj.__doc__ == doc if not (doc or "").endswith("...") else obj.__doc__.startswith(doc[:-3]), name
    for cls, props in PROPERTIES.items():
        t = getattr(nn, cls)
        assert (t.__module__, t.__qualname__) == ("builtins", cls)
        raises(TypeError, lambda: type("Sub", (t,), {}))
        for p in props:
            assert getattr(t, p).__doc__ is None
            with pytest.raises(AttributeError):
                setattr(t(), p, 1)
    assert nn.__doc__ == "Native engine for norvane (clause arena + CDCL search core)"
    assert nn.__version__ == "0.1.6" and nn.__file__.endswith(".abi3.so")
    # raised for real (a worker thread that cannot start) in test_hostile.py, under an address-space cap
    p = nn.PanicException
    assert issubclass(p, BaseException) and not issubclass(p, Exception) and p.__module__ == "norvane_native"
    assert repr(nn.Preprocessor(3)) == "<native.Preprocessor vars=3 eliminated=0 subsumed=0>"
    assert norvane.PanicException is p and norvane.__version__ == nn.__version__
    assert [d.version for d in importlib.metadata.distributions(name="norvane")] in ([], [nn.__version__])


def test_option_and_counter_tables():
    r = subprocess.run([sys.executable, str(TOOLS / "gen_stub.py"), "--check"], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    params = list(inspect.signature(nn.Solver).parameters.values())[1:]
    kinds = {"str": str, "bool": bool, "u32": int, "u64": int, "f64": float}
    for (name, kind, default, words, h), p, row in zip(nn.SOLVER_OPTIONS, params, gen_stub.options(), strict=True):
        assert (name, default, type(default)) == (p.name, p.default, kinds[kind]) and (row[0], *row[2:]) == \
            (name, repr(default).replace("'", '"'), h) and ((default in words) if kind == "str" else words == ())
    assert gen_stub.counters() == list(nn.SOLVER_COUNTERS)
    assert all(type(getattr(nn.Solver(), name)) is int for name in nn.SOLVER_COUNTERS)
    # the package's options are the engine's
    assert norvane.SOLVER_DEFAULTS == {p.name: p.default for p in params} and len(params) == 20
    assert all(f"{p.name}={p.default!r}: " in norvane.Solver.__doc__ for p in params)


class NoNote(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes here")


# binding errors (TypeError, no note), then conversion errors, whose note names the parameter
@pytest.mark.parametrize("call,exc,message,note", [*[(call, TypeError, message, "") for call, message in [
    (lambda: nn.neg(), "neg() missing 1 required positional argument: 'l'"),
    (lambda: nn.check_proof(), "check_proof() missing 3 required positional arguments: 'nvars', 'clauses', and 'steps'"),
    (lambda: nn.check_proof(1), "check_proof() missing 2 required positional arguments: 'clauses' and 'steps'"),
    (lambda: nn.neg(1, 2), "neg() takes 1 positional arguments but 2 were given"),
    (lambda: nn.mk_lit(1, True, 3), "mk_lit() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: nn.neg(1, l=2), "neg() got multiple values for argument 'l'"),
    (lambda: nn.neg(x=2), "neg() got an unexpected keyword argument 'x'"),
    (lambda: nn.Solver(foo=1), "Solver.__new__() got an unexpected keyword argument 'foo'"),
    (lambda: nn.ClauseDb(1, 2), "ClauseDb.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: nn.ClauseDb().clause(), "ClauseDb.clause() missing 1 required positional argument: 'i'"),
    (lambda: nn.Solver().solve(1, 2, [], False, 5), "Solver.solve() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: nn.solve_portfolio(1, [], [], None, 0, False, None, None, 9),
     "solve_portfolio() takes from 3 to 8 positional arguments but 9 were given"),
    (lambda: nn.ClauseDb().clauses(1), "ClauseDb.clauses() takes no arguments (1 given)")]],
    (lambda: nn.neg(Index(NoNote("mine"))), NoNote, "mine", ""),  # a failing add_note loses only the note
    # each kind of conversion (the literal functions' notes here; every other entry's: test_hostile.py)
    (lambda: nn.neg(-1), OverflowError, RANGE, "l"), (lambda: nn.neg(2**32), OverflowError, RANGE, "l"),
    (lambda: nn.neg(2**64), OverflowError, None, "l"), (lambda: nn.neg(1.0), TypeError, None, "l"),
    (lambda: nn.neg(Index(KeyError("boom"))), KeyError, None, "l"),  # the error of __index__ keeps its type
    (lambda: nn.from_dimacs(2**31), OverflowError, RANGE, "d"), (lambda: nn.mk_lit(-1), OverflowError, RANGE, "v"),
    *[(lambda v=v: nn.ClauseDb().clause(v), e, None, "i") for v, e in [
        (-1, OverflowError), (2**64, OverflowError), (0.0, TypeError)]],
    *[(lambda v=v: nn.mk_lit(3, v), TypeError, m, "negated") for v, m in [
        (1, "'int' object is not an instance of 'bool'"), (None, "'None' is not an instance of 'bool'")]],
    *[(lambda v=v: nn.Solver(var_decay=v), e, None, "var_decay") for v, e in [
        ("x", TypeError), (None, TypeError), (10**400, OverflowError)]],
    *[(lambda v=v: nn.Solver(restart=v), e, m, "restart") for v, e, m in [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (b"luby", TypeError, "'bytes' object is not an instance of 'str'"), ("\ud800", UnicodeEncodeError, None)]],
    *[(lambda v=v: nn.ClauseDb().add_clause(v), e, m, "lits") for v, e, m in [
        ("12", TypeError, "Can't extract `str` to `Vec`"),
        ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ([1, -1], OverflowError, RANGE), ([1, 2**32], OverflowError, RANGE), (["1"], TypeError, None)]],
    # late checks: no note
    *[(lambda v=v: nn.Solver(2).solve(seconds=v, release_gil=True), ValueError, m, "") for v, m in [
        (-1.0, NEGATIVE), (-math.inf, NEGATIVE), (math.nan, TOO_BIG), (math.inf, TOO_BIG), (1e300, TOO_BIG),
        (2.0**63, OVERFLOW_INSTANT)]],
])
def test_argument_errors(call, exc, message, note):
    raises(exc, call, message, note)


def test_accepted_argument_kinds():
    np = pytest.importorskip("numpy")
    assert (nn.neg(True), nn.neg(Index(6)), nn.neg(4294967295), nn.mk_lit(3, np.True_)) == (0, 7, 4294967294, 7)
    for value in [(2, 4), range(2, 6, 2), b"\x02\x04", bytearray(b"\x02\x04"), [Index(2), Index(4)],
                  np.array([2, 4], dtype=np.uint32)]:
        db = nn.ClauseDb()
        assert db.add_clause(value) and db.clause(Index(0)) == [2, 4]
    raises(TypeError, lambda: nn.mk_lit(3, np.int64(1)))
    a, b = db.clauses(), db.clauses()  # results are fresh objects
    a[0].append(99)
    assert b == [[2, 4]] and db.clause(0) == [2, 4]
    assert nn.Solver(Index(7)).nvars == 7 and nn.Solver(True).nvars == 1
    big64 = {n: 2**64 - 1 for n, kind in SOLVER_KINDS.items() if kind == "u64"}
    nn.Solver(glue_keep=2**32 - 1, rnd_seed=2**32 - 1, var_decay=1, luby_base=7, **big64)
    s = solver(2, [[0, 2]], phase_saving=np.False_, target_phase=np.True_, var_decay=np.float64(0.9))
    assert s.solve() is True


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


def test_enable_proof_only_before_the_first_clause():
    message = ("enable_proof() must be called before any clause is added: a proof that starts midway through "
               "the formula is not a proof")
    s = nn.Solver(3)
    assert s.enable_proof() is None and s.new_var() == 3 and s.enable_proof() is None
    raises(TypeError, lambda: s.add_clause("01"))  # a failed conversion adds no clause,
    raises(ValueError, lambda: s.solve(seconds=-1.0))  # a refused budget is no solve
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
def test_deadlines(opts):
    """The clock is read while the search runs: a distant deadline changes no counter, model or proof step;
    a near one stops the search even before its first conflict (long passes: test_interrupt.py)."""
    clauses = random_3sat(8, 220)
    a, b = solver(220, clauses, **opts), solver(220, clauses, **opts)
    assert [a.solve(500), a.solve()] == [b.solve(500, seconds=3600.0), b.solve(seconds=3600.0)]
    assert (stats(a), a.model, a.proof_steps()) == (stats(b), b.model, b.proof_steps())
    free = nn.Solver(300_000, **opts)  # deciding 300000 free variables takes far longer than a millisecond
    assert free.solve(seconds=0.001) is None and free.conflicts == 0
