"""Module registration and the binding conventions shared by every entry."""
import inspect

import pytest

import norvane_native as nn
from conftest import expect_notes, notes

ALL = ["__doc__", "__version__", "ClauseDb", "Solver", "Preprocessor", "solve_portfolio", "check_proof",
       "neg", "var_of", "is_neg", "mk_lit", "from_dimacs", "to_dimacs"]


def test_module_attributes():
    assert nn.__all__ == ALL
    assert nn.__doc__ == "Native engine for norvane (clause arena + CDCL search core)"
    assert nn.__version__ == "0.1.6"
    assert nn.__file__.endswith(".abi3.so")


@pytest.mark.parametrize("cls", ["ClauseDb", "Solver", "Preprocessor"])
def test_classes_are_builtins_types(cls):
    t = getattr(nn, cls)
    assert t.__module__ == "builtins"
    assert t.__qualname__ == cls
    with pytest.raises(TypeError):
        type("Sub", (t,), {})


@pytest.mark.parametrize("name,sig", [
    ("neg", "(l)"), ("var_of", "(l)"), ("is_neg", "(l)"), ("mk_lit", "(v, negated=False)"),
    ("from_dimacs", "(d)"), ("to_dimacs", "(l)"),
    ("check_proof", "(nvars, clauses, steps, check_rat=True, apply_deletions=True)"),
    ("solve_portfolio", "(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False, max_conflicts=None, "
                        "seconds=None)"),
])
def test_function_signatures(name, sig):
    f = getattr(nn, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__module__ == "norvane_native"
    assert f.__text_signature__ == sig
    assert str(inspect.signature(f)) == sig


@pytest.mark.parametrize("cls,method,sig", [
    ("ClauseDb", "clause", "($self, i)"),
    ("ClauseDb", "clauses", "($self)"),
    ("Solver", "solve", "($self, max_conflicts=None, seconds=None, assumptions=None, release_gil=False)"),
    ("Preprocessor", "run", "($self, rounds=3)"),
    ("Preprocessor", "reconstruct", "($self, model)"),
    ("Preprocessor", "add_clauses", "($self, clauses)"),
])
def test_method_signatures(cls, method, sig):
    assert getattr(getattr(nn, cls), method).__text_signature__ == sig


def test_class_docstrings():
    assert nn.ClauseDb.__doc__ == "A clause database living in native memory."
    assert nn.ClauseDb.__text_signature__ == "(nvars=0)"
    assert nn.Preprocessor.__text_signature__ == ("(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False, "
                                                  "proof_path=None, proof_binary=False)")
    assert nn.Solver.__doc__.startswith("The native CDCL search core (Sprint 2).")
    assert nn.check_proof.__doc__.startswith("Check a DRAT proof against a formula.")


@pytest.mark.parametrize("call,message", [
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
    (lambda: nn.ClauseDb().clause(1, 2), "ClauseDb.clause() takes 1 positional arguments but 2 were given"),
    (lambda: nn.Solver().solve(1, 2, [], False, 5),
     "Solver.solve() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: nn.Solver().solve(1, max_conflicts=2), "Solver.solve() got multiple values for argument 'max_conflicts'"),
    (lambda: nn.Preprocessor().run(1, 2), "Preprocessor.run() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: nn.solve_portfolio(1, [], [], None, 0, False, None, None, 9),
     "solve_portfolio() takes from 3 to 8 positional arguments but 9 were given"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    assert not getattr(e.value, "__notes__", None)  # binding errors carry no note


def test_no_argument_methods_refuse_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        nn.ClauseDb().clauses(1)


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIdx:
    def __index__(self):
        raise KeyError("boom")


def test_u32_conversion():
    assert nn.neg(True) == 0
    assert nn.neg(Idx(6)) == 7
    assert nn.neg(4294967295) == 4294967294
    for bad, exc, msg in [(-1, OverflowError, "out of range integral type conversion attempted"),
                          (2 ** 32, OverflowError, "out of range integral type conversion attempted"),
                          (2 ** 64, OverflowError, None),
                          (1.0, TypeError, None), ("1", TypeError, None), (None, TypeError, None)]:
        with pytest.raises(exc) as e:
            nn.neg(bad)
        if msg:
            assert str(e.value) == msg
        assert notes(e.value) == expect_notes(["while processing 'l'"])


def test_index_error_keeps_its_type_and_gets_the_note():
    with pytest.raises(KeyError) as e:
        nn.neg(BadIdx())
    assert notes(e.value) == expect_notes(["while processing 'l'"])


def test_note_skipped_when_add_note_fails():
    class NoNote(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Raiser:
        def __index__(self):
            raise NoNote("mine")

    with pytest.raises(NoNote) as e:
        nn.neg(Raiser())
    assert str(e.value) == "mine"
    assert not getattr(e.value, "__notes__", None)


def test_i32_u64_and_float_conversions():
    assert nn.from_dimacs(-2147483648) == 4294967295
    with pytest.raises(OverflowError, match="out of range integral"):
        nn.from_dimacs(2147483648)
    db = nn.ClauseDb()
    db.add_clause([0])
    assert db.clause(Idx(0)) == [0]
    with pytest.raises(OverflowError) as e:
        db.clause(2 ** 64)
    assert notes(e.value) == expect_notes(["while processing 'i'"])
    with pytest.raises(TypeError):
        db.clause(0.0)
    s = nn.Solver(var_decay=1)  # an int converts to a float
    assert s.nvars == 0
    with pytest.raises(TypeError) as e:
        nn.Solver(var_decay="x")
    assert notes(e.value) == expect_notes(["while processing 'var_decay'"])


@pytest.mark.parametrize("value,message", [
    (1, "'int' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (1.0, "'float' object is not an instance of 'bool'"),
])
def test_bool_conversion_is_strict(value, message):
    with pytest.raises(TypeError) as e:
        nn.mk_lit(3, value)
    assert str(e.value) == message
    assert notes(e.value) == expect_notes(["while processing 'negated'"])


def test_numpy_bools_accepted():
    np = pytest.importorskip("numpy")
    assert nn.mk_lit(3, np.True_) == 7
    assert nn.mk_lit(3, np.False_) == 6
    with pytest.raises(TypeError):
        nn.mk_lit(3, np.int64(1))


@pytest.mark.parametrize("value,exc,message", [
    ("12", TypeError, "Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
    ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (iter([1]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ([1, -1], OverflowError, "out of range integral type conversion attempted"),
    ([1, 2 ** 32], OverflowError, "out of range integral type conversion attempted"),
    ([1.5], TypeError, None),
    (["1"], TypeError, None),
])
def test_sequence_conversion_errors(value, exc, message):
    db = nn.ClauseDb()
    with pytest.raises(exc) as e:
        db.add_clause(value)
    if message:
        assert str(e.value) == message
    assert notes(e.value) == expect_notes(["while processing 'lits'"])
    assert db.num_clauses == 0 and db.num_vars == 0


@pytest.mark.parametrize("value", [(2, 4), range(2, 6, 2), b"\x02\x04", bytearray(b"\x02\x04"), [Idx(2), Idx(4)]])
def test_sequence_kinds_accepted(value):
    db = nn.ClauseDb()
    assert db.add_clause(value)
    assert db.clause(0) == [2, 4]


def test_numpy_array_is_a_sequence():
    np = pytest.importorskip("numpy")
    db = nn.ClauseDb()
    db.add_clause(np.array([2, 4], dtype=np.uint32))
    assert db.clause(0) == [2, 4]


class Seq:
    """A sequence whose iteration runs a callback first."""

    def __init__(self, items, hook):
        self.items, self.hook = items, hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.hook()
        return iter(self.items)


def test_iteration_errors_propagate_with_the_note():
    def boom():
        raise ZeroDivisionError("in iteration")

    db = nn.ClauseDb()
    with pytest.raises(ZeroDivisionError) as e:
        db.add_clause(Seq([2], boom))
    assert notes(e.value) == expect_notes(["while processing 'lits'"])
    assert len(db) == 0


def test_len_errors_are_ignored():
    class NoLen(Seq):
        def __len__(self):
            raise ValueError("no length")

    db = nn.ClauseDb()
    assert db.add_clause(NoLen([2, 4], lambda: None))
    assert db.clause(0) == [2, 4]


def test_list_mutated_during_conversion_behaves_like_iteration():
    lst = [2, None, 4, 6]

    class Shrink:
        def __index__(self):
            del lst[2:]  # iteration then ends after this item
            return 8

    lst[1] = Shrink()
    db = nn.ClauseDb()
    db.add_clause(lst)
    assert db.clause(0) == [2, 8]


@pytest.mark.parametrize("reenter,message", [
    (lambda db: db.num_clauses, "Already mutably borrowed"),
    (lambda db: len(db), "Already mutably borrowed"),
    (lambda db: db.clauses(), "Already mutably borrowed"),
    (lambda db: db.add_clause([0]), "Already borrowed"),
])
def test_reentrant_calls_are_refused(reenter, message):
    db = nn.ClauseDb()
    seen = []

    def hook():
        with pytest.raises(RuntimeError) as e:
            reenter(db)
        seen.append(str(e.value))

    assert db.add_clause(Seq([2, 4], hook))
    assert seen == [message]
    assert db.clauses() == [[2, 4]]  # access state released after the call


def test_reentrant_errors_propagate_and_release_access():
    db = nn.ClauseDb()
    with pytest.raises(RuntimeError, match="Already borrowed"):
        db.add_clause(Seq([2], lambda: db.add_dimacs([1])))
    assert len(db) == 0
    assert db.add_clause([2])


def test_panic_exception_escapes_except_exception(panic):
    # raised for real (a worker thread that cannot start) in test_hostile.py, under an address-space cap
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException" and panic.__module__ == "norvane_native"
    assert "internal fault" in panic.__doc__
    assert nn.PanicException is panic and "PanicException" not in nn.__all__  # named, outside __all__


def test_results_are_fresh_objects():
    db = nn.ClauseDb()
    db.add_clause([2, 4])
    a, b = db.clauses(), db.clauses()
    assert a == b and a is not b and a[0] is not b[0]
    a[0].append(99)
    assert db.clause(0) == [2, 4]
