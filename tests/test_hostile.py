"""Hostile input: every public entry called with objects it must refuse.

Every refusal must be a Python exception of an expected kind, and an instance whose method refused must
be exactly as it was: same observable state, and the same behaviour afterwards as an untouched twin.
Literals that would need billions of variables end in MemoryError, never in the process being killed.
"""
import gc
import json
import math
import os
import random
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import norvane_native as nn
from conftest import brute_force_sat, satisfies

CONFIG = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
              target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
              var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
              reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)
FORMULA = [[0, 2, 5], [1, 3], [4, 7, 9], [6, 8], [1, 6, 11], [10, 12], [3, 13, 14], [0, 15]]
NVARS = 8


class Boom(Exception):
    """Raised by the hostile objects' own code; it must come back to the caller unchanged."""


# ---------------------------------------------------------------------------
# Hostile objects


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisingBool:
    """Claims to be a NumPy boolean; its conversion raises."""

    def __bool__(self):
        raise Boom("__bool__")


RaisingBool.__module__ = "numpy"
RaisingBool.__name__ = "bool_"


class Seq:
    """A sequence (not a list) with programmable iteration and length."""

    def __init__(self, items, length=None, on_item=None, raise_at=None):
        self.items, self.length, self.on_item, self.raise_at = list(items), length, on_item, raise_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.raise_at is not None and i == self.raise_at:
            raise Boom("iteration")
        if self.on_item:
            self.on_item(i)
        return self.items[i]


class CallbackIndex:
    """An integer whose conversion calls `fn` (typically back into the object being called)."""

    def __init__(self, fn, value=0):
        self.fn, self.value = fn, value

    def __index__(self):
        self.fn()
        return self.value


class Clearing:
    """An item whose conversion empties the list holding it, drops the last references to its
    neighbours, then fails."""

    def __init__(self, holder):
        self.holder = holder

    def __index__(self):
        self.holder.clear()
        gc.collect()
        raise Boom("list cleared under the iteration")


def clearing_list(head):
    lst = list(head)
    lst.append(Clearing(lst))
    lst.append(Index(7))
    return lst


class BadMapping:
    def __getitem__(self, key):
        raise Boom(f"lookup {key}")


def common_bad(target):
    """Values no parameter of any kind accepts (apart from the optional ones, which take None)."""
    return [object(), {1: 2}, {1, 2}, (x for x in [1]), iter([1]), np.array([[1.5]]), type, Boom("x")]


def boom():
    raise Boom("callback")


def bad_int(lo, hi, target):
    out = [None, "1", b"1", 1.5, math.nan, math.inf, 1j, [1], lo - 1, hi + 1, 2**64, -(2**64), 2**100,
           RaisingIndex(), Index(lo - 1), Index(hi + 1), Index("1"), np.float64(1.0), np.int64(lo - 1),
           np.array([1, 2]), CallbackIndex(boom)] + common_bad(target)
    if hi < 2**64 - 1:
        out.append(np.uint64(2**64 - 1))
    return out


def bad_float(target):
    return [None, "1.0", b"", [1.0], 10**400, RaisingFloat(), RaisingIndex(), np.array([1.0, 2.0])] + common_bad(target)


def bad_bool(target):
    return [None, 0, 1, 1.0, "True", np.int64(1), np.array([True, False]), RaisingBool(), Index(1)] + common_bad(target)


def bad_str(target):
    return [None, 1, b"luby", ["luby"], "\ud800", np.str_("Luby"), "Luby", "luby ", "", "luby\x00"] + common_bad(target)


def reentrant(target, call):
    """A literal whose conversion calls `call(target)` first: re-entrant use of the same instance."""
    return [0, CallbackIndex(lambda: call(target), 2)]


def bad_lits(lo, hi, target):
    """Sequences of integers in lo..hi that must be refused."""
    out = [None, 5, 1.5, "12", "", {1, 2}, {0: 1}, (x for x in [0]), iter([0]), range,
           [None], [0, 1.5], [0, lo - 1], [0, hi + 1], [2**64], [0, "1"], [RaisingIndex()],
           (0, RaisingIndex()), [[0]], Seq([0, 2, 4], raise_at=1), Seq([0, 2, 4], length=10**18, raise_at=2),
           Seq([0, -1], length=ValueError("len")), Seq([0, 2, lo - 1], length=-5),
           clearing_list([0, 2, 4]), np.array([lo - 1, 0]), np.array([0.5]), np.array([[0, 2]]),
           np.array(["a"]), range(lo - 1, lo + 2)]
    if target is not None:
        out += [reentrant(target, _read_any), reentrant(target, _write_any)]
    return out


def bad_bools(target):
    return [None, 1, "ab", [1], [True, 0], [True, None], [np.int64(1)], [RaisingBool()], Seq([True, False], raise_at=1),
            np.array([1, 0]), (True, 1.0)] + ([[True, CallbackBool(lambda: _write_any(target))]] if target else [])


class CallbackBool:
    """A NumPy-looking boolean whose conversion calls back."""

    def __init__(self, fn):
        self.fn = fn

    def __bool__(self):
        self.fn()
        return True


CallbackBool.__module__ = "numpy"
CallbackBool.__name__ = "bool_"


def bad_clause_lists(target):
    return [None, 5, "ab", [0], [None], [[0], 5], [[0], "1"], [[0], [-1]], [[2**32]], [[0], [RaisingIndex()]],
            {0: [0]}, Seq([[0], [2]], raise_at=1), [[0], Seq([0, 2], raise_at=0)], np.array([[-1, 0]]),
            [[0], clearing_list([1])], [[0], {0}]]


def bad_steps(target):
    return [None, 5, "ab", [(False, [0])] + [None], [[False, [0]]], [(1, [0])], [(None, [0])], [(False,)],
            [(False, [0], 1)], [(False, [-1])], [(False, "0")], [(False, 5)], [(RaisingBool(), [0])],
            [(np.int64(0), [0])], [(False, [0]), (True, Seq([0], raise_at=0))], Seq([(False, [0])], raise_at=0),
            [(False, clearing_list([0]))], [tuple()]]


def bad_configs(target):
    def broken(**over):
        c = dict(CONFIG)
        c.update(over)
        return c
    missing = dict(CONFIG)
    del missing["rnd_seed"]
    return [None, 5, "ab", CONFIG, {"a": CONFIG}, [None], [5], [[1, 2]], [{}], [missing], [BadMapping()],
            [broken(restart=1)], [broken(restart="Luby")], [broken(ccmin="Deep")], [CONFIG, broken(ccmin="shallow")],
            [broken(walk_flips=-1)], [broken(glue_keep=2**32)], [broken(rnd_seed=1.5)], [broken(phase_saving=1)],
            [broken(var_decay="0.8")], [broken(rnd_freq=RaisingFloat())], [broken(target_reset=RaisingIndex())],
            Seq([CONFIG], raise_at=0), [CONFIG, CONFIG, broken(block_restart=None)]]


# ---------------------------------------------------------------------------
# Instances under attack: how to build one, what it looks like, how it behaves next


def make_db():
    db = nn.ClauseDb(3)
    for c in FORMULA:
        db.add_clause(c)
    db.add_dimacs([1, -5, 9])
    return db


def snap_db(db):
    return db.clauses(), db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes, len(db), repr(db)


def use_db(db):
    db.add_clause([30, 2, 30])
    db.add_dimacs([-40, 3])
    return snap_db(db), db.clause(len(db) - 1)


STATS = ["conflicts", "decisions", "propagations", "restarts", "learned", "learned_lits", "minimized_lits",
         "reductions", "blocked_restarts", "deleted", "max_trail"]


def make_solver():
    s = nn.Solver(NVARS, restart="glucose", rnd_freq=0.1, rnd_seed=5)
    s.enable_proof()
    for c in FORMULA:
        s.add_clause(c)
    assert s.solve() is True
    return s


def snap_solver(s):
    return (s.nvars, s.ok, [getattr(s, k) for k in STATS], s.model, s.proof_steps(), s.check_watch_invariant(),
            repr(s))


def use_solver(s):
    # php(3): unsatisfiable, so the search does real work and leaves a proof
    holes = 3
    base = 20
    var = lambda p, h: base + p * holes + h  # noqa: E731
    out = [s.add_clause([2 * var(p, h) for h in range(holes)]) for p in range(holes + 1)]
    out += [s.add_clause([2 * var(p, h) + 1, 2 * var(q, h) + 1])
            for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    out.append(s.solve())
    return out, snap_solver(s)


def make_pre():
    p = nn.Preprocessor(NVARS, with_proof=True)
    p.freeze(1)
    for c in FORMULA:
        p.add_clause(c)
    p.run()
    return p


def snap_pre(p):
    return (p.nvars, p.unsat, p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.resolvents, p.pure,
            p.reduced(), p.proof_steps(), repr(p))


def use_pre(p):
    p.add_clause([2, 5])
    p.add_clause([21, 3])
    p.freeze(12)
    ok = p.run(2)
    s = nn.Solver(p.nvars)
    for c in p.reduced():
        s.add_clause(c)
    sat = s.solve()
    return ok, snap_pre(p), sat, p.reconstruct(s.model) if sat else None


def _read_any(obj):
    if isinstance(obj, nn.ClauseDb):
        return obj.num_vars
    if isinstance(obj, nn.Solver):
        return obj.model
    return obj.reduced()


def _write_any(obj):
    if isinstance(obj, nn.Preprocessor):
        return obj.freeze(0)
    return obj.add_clause([0])


KINDS = {
    "u32": lambda t: bad_int(0, 2**32 - 1, t),
    "i32": lambda t: bad_int(-2**31, 2**31 - 1, t),
    "u64": lambda t: bad_int(0, 2**64 - 1, t),
    "opt_u64": lambda t: [v for v in bad_int(0, 2**64 - 1, t) if v is not None],
    "f64": bad_float,
    "opt_f64": lambda t: [v for v in bad_float(t) if v is not None],
    "bool": bad_bool,
    "str": bad_str,
    "seq_u32": lambda t: bad_lits(0, 2**32 - 1, t),
    "opt_seq_u32": lambda t: [v for v in bad_lits(0, 2**32 - 1, t) if v is not None],
    "seq_i32": lambda t: bad_lits(-2**31, 2**31 - 1, t),
    "seq_bool": bad_bools,
    "clauses": bad_clause_lists,
    "opt_clauses": lambda t: [v for v in bad_clause_lists(t) if v is not None],
    "steps": bad_steps,
    "configs": bad_configs,
}

# (entry, class whose instance it is called on or None, call, valid arguments, {param: kind}, extra bad values)
ENTRIES = [
    ("ClauseDb", None, lambda o, **k: nn.ClauseDb(**k), {}, {"nvars": "u32"}, {}),
    ("ClauseDb.add_clause", "db", lambda o, **k: o.add_clause(**k), {"lits": [0, 2]}, {"lits": "seq_u32"},
     {"lits": [[0, 4294967295]]}),
    ("ClauseDb.add_dimacs", "db", lambda o, **k: o.add_dimacs(**k), {"lits": [1, -2]}, {"lits": "seq_i32"},
     {"lits": [[1, 0], [0, "x"]]}),
    ("ClauseDb.clause", "db", lambda o, **k: o.clause(**k), {"i": 0}, {"i": "u64"}, {"i": [9, 2**64 - 1]}),
    ("Solver", None, lambda o, **k: nn.Solver(**k), {},
     {"nvars": "u32", "restart": "str", "ccmin": "str", "phase_saving": "bool", "init_phase": "bool",
      "target_phase": "bool", "target_reset": "u64", "walk_flips": "u64", "walk_interval": "u64",
      "walk_patience": "u64", "walk_min_conflicts": "u64", "var_decay": "f64", "var_decay_max": "f64",
      "cla_decay": "f64", "luby_base": "f64", "first_reduce": "u64", "reduce_inc": "u64", "glue_keep": "u32",
      "block_restart": "bool", "rnd_freq": "f64", "rnd_seed": "u32"},
     {"nvars": [2**31, 2**32 - 1]}),
    ("Solver.add_clause", "solver", lambda o, **k: o.add_clause(**k), {"lits": [0, 2]}, {"lits": "seq_u32"},
     {"lits": [[4294967294], [40, 4294967294], [4294967295, 40], [2**31 + 6]]}),
    ("Solver.add_clauses", "solver", lambda o, **k: o.add_clauses(**k), {"clauses": [[0, 2]]},
     {"clauses": "clauses"}, {"clauses": [[[0, 2], [4294967294]], [[40], [2, 4294967295]]]}),
    ("Solver.solve", "solver", lambda o, **k: o.solve(**k), {"max_conflicts": 5},
     {"max_conflicts": "opt_u64", "seconds": "opt_f64", "assumptions": "opt_seq_u32",
      "release_gil": "bool"},
     {"seconds": [-1.0, math.nan, math.inf, -math.inf, 2.0**64, 2.0**63],
      "assumptions": [[4294967294], [40, 4294967294], [2**31 + 6, 4294967295]]}),
    ("Solver.propagate", "solver", lambda o, **k: o.propagate(**k), {"assumptions": [0]}, {"assumptions": "seq_u32"},
     {}),
    ("Preprocessor", None, lambda o, **k: nn.Preprocessor(**k), {},
     {"nvars": "u32", "do_bve": "bool", "max_resolvent_len": "u64", "with_proof": "bool", "proof_binary": "bool"},
     {"nvars": [2**31, 2**32 - 1]}),
    ("Preprocessor.freeze", "pre", lambda o, **k: o.freeze(**k), {"v": 3}, {"v": "u32"},
     {"v": [2**31, 4294967294, 4294967295]}),
    ("Preprocessor.add_clause", "pre", lambda o, **k: o.add_clause(**k), {"lits": [0, 2]}, {"lits": "seq_u32"},
     {"lits": [[4294967294], [40, 4294967294], [4294967295], [2**31 + 6, 40]]}),
    ("Preprocessor.add_clauses", "pre", lambda o, **k: o.add_clauses(**k), {"clauses": [[0, 2]]},
     {"clauses": "clauses"}, {"clauses": [[[0], [4294967294]], [[2**31 + 6, 40]]]}),
    ("Preprocessor.run", "pre", lambda o, **k: o.run(**k), {"rounds": 1}, {"rounds": "u32"}, {}),
    ("Preprocessor.reconstruct", "pre", lambda o, **k: o.reconstruct(**k), {"model": [False] * NVARS},
     {"model": "seq_bool"}, {}),
    ("check_proof", None, lambda o, **k: nn.check_proof(**k), {"nvars": 3, "clauses": [[0, 2], [1]], "steps": []},
     {"nvars": "u32", "clauses": "clauses", "steps": "steps", "check_rat": "bool", "apply_deletions": "bool"},
     {"nvars": [2**31, 2**32 - 1], "clauses": [[[4294967294]], [[0], [4294967295, 2]]],
      "steps": [[(False, [4294967294])], [(True, [2, 4294967295])]]}),
    ("solve_portfolio", None, lambda o, **k: nn.solve_portfolio(**k), {"nvars": 3, "clauses": [[0, 2]],
                                                                        "configs": [CONFIG, CONFIG]},
     {"nvars": "u32", "clauses": "clauses", "configs": "configs", "alt": "opt_clauses", "alt_threads": "u64",
      "want_proof": "bool", "max_conflicts": "opt_u64", "seconds": "opt_f64"},
     {"nvars": [2**31, 2**32 - 1], "clauses": [[[4294967294]], [[0], [2, 4294967295]]],
      "alt": [[[4294967294]]], "seconds": [-1.0, math.nan, math.inf, 2.0**64, 2.0**63]}),
    ("neg", None, lambda o, **k: nn.neg(**k), {"l": 1}, {"l": "u32"}, {}),
    ("var_of", None, lambda o, **k: nn.var_of(**k), {"l": 1}, {"l": "u32"}, {}),
    ("is_neg", None, lambda o, **k: nn.is_neg(**k), {"l": 1}, {"l": "u32"}, {}),
    ("to_dimacs", None, lambda o, **k: nn.to_dimacs(**k), {"l": 1}, {"l": "u32"}, {}),
    ("mk_lit", None, lambda o, **k: nn.mk_lit(**k), {"v": 1}, {"v": "u32", "negated": "bool"}, {}),
    ("from_dimacs", None, lambda o, **k: nn.from_dimacs(**k), {"d": 1}, {"d": "i32"}, {"d": [0]}),
]

TARGETS = {"db": (make_db, snap_db, use_db), "solver": (make_solver, snap_solver, use_solver),
           "pre": (make_pre, snap_pre, use_pre)}
# KeyError and IndexError: the lookup of a key in a worker mapping failed, and its error came through.
REFUSALS = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, LookupError, Boom)
# The portfolio with one alternative formula needs alt_threads to route a worker to it.
EXTRA_ARGS = {("solve_portfolio", "alt"): {"alt_threads": 1}}


def cases():
    for name, target, call, base, params, extra in ENTRIES:
        for param, kind in params.items():
            yield pytest.param(name, target, call, base, param, kind, extra.get(param, []), id=f"{name}-{param}")


@pytest.mark.parametrize("name,target,call,base,param,kind,extra", list(cases()))
def test_bad_argument_is_refused_and_changes_nothing(name, target, call, base, param, kind, extra):
    make, snap, use = TARGETS[target] if target else (lambda: None, lambda o: None, lambda o: None)
    obj = make()
    before = snap(obj)
    values = KINDS[kind](obj) + list(extra)
    for value in values:
        if value is None and kind.startswith("opt"):
            continue
        args = dict(base, **EXTRA_ARGS.get((name, param), {}))
        args[param] = value
        try:
            result = call(obj, **args)
        except REFUSALS:
            pass
        else:
            pytest.fail(f"{name}({param}={value!r}) returned {result!r} instead of raising")
        assert snap(obj) == before, f"{name}({param}={value!r}) changed the instance"
    if target:
        assert use(obj) == use(make()), f"{name}: the instance behaves differently after the refusals"


# ---------------------------------------------------------------------------
# Specific hostile situations


def test_exception_of_the_argument_comes_back_with_the_parameter_note():
    s = make_solver()
    with pytest.raises(Boom, match="__index__") as ei:
        s.add_clause([0, RaisingIndex()])
    assert ei.value.__notes__ == ["while processing 'lits'"]
    with pytest.raises(Boom, match="iteration"):
        nn.check_proof(2, [[0]], Seq([(False, [0])], raise_at=0))
    with pytest.raises(Boom, match="lookup restart") as ei:
        nn.solve_portfolio(2, [[0]], [BadMapping()])
    assert ei.value.__notes__ == ["while processing 'configs'"]
    with pytest.raises(TypeError, match="failed to extract field WorkerConfig.rnd_freq") as ei:
        nn.solve_portfolio(2, [[0]], [dict(CONFIG, rnd_freq=RaisingFloat())])
    assert isinstance(ei.value.__cause__, Boom)
    assert snap_solver(s) == snap_solver(make_solver())


# Every entry of each class that only reads it, and every entry that changes it.
READERS = {
    "db": lambda o: [lambda: o.num_vars, lambda: o.num_clauses, lambda: o.num_lits, lambda: o.memory_bytes,
                     lambda: len(o), lambda: repr(o), o.clauses, lambda: o.clause(0)],
    "solver": lambda o: [lambda: o.model, lambda: o.nvars, lambda: o.ok, lambda: repr(o), o.proof_steps,
                         o.check_watch_invariant, o.core] + [lambda k=k: getattr(o, k) for k in STATS],
    "pre": lambda o: [lambda: o.nvars, lambda: o.unsat, lambda: o.units, lambda: o.subsumed,
                      lambda: o.strengthened, lambda: o.eliminated_vars, lambda: o.resolvents, lambda: o.pure,
                      lambda: repr(o), o.reduced, o.proof_steps, lambda: o.reconstruct([True] * NVARS)],
}
WRITERS = {
    "db": lambda o: [lambda: o.add_clause([0]), lambda: o.add_dimacs([1])],
    "solver": lambda o: [lambda: o.add_clause([0]), o.solve, o.new_var, o.enable_proof, lambda: o.propagate([0])],
    "pre": lambda o: [lambda: o.add_clause([0]), lambda: o.freeze(0), o.run],
}


def attempts(calls):
    """Runs each call, noting the message of a RuntimeError or the value returned."""
    out = []
    for call in calls:
        try:
            out.append(("ran", call()))
        except RuntimeError as e:
            out.append(("refused", str(e)))
    return out


@pytest.mark.parametrize("target", ["db", "solver", "pre"])
def test_reentrant_calls_are_refused_and_the_instance_is_released(target):
    make, snap, use = TARGETS[target]
    obj, twin = make(), make()
    before = snap(obj)
    readers, writers = READERS[target](obj), WRITERS[target](obj)
    mutate = obj.freeze if target == "pre" else obj.add_clause
    arg = (lambda cb, v: CallbackIndex(cb, v)) if target == "pre" else (lambda cb, v: [0, CallbackIndex(cb, v)])

    # inside a mutating entry, every other entry is refused; refusals that propagate change nothing
    inside = []
    for call in readers + writers:
        def cb(call=call):
            inside.extend(attempts([call]))
            call()
        with pytest.raises(RuntimeError):
            mutate(arg(cb, 2))
        assert snap(obj) == before
    assert inside == [("refused", "Already mutably borrowed")] * len(readers) + \
        [("refused", "Already borrowed")] * len(writers)

    # a callback that swallows its refusals lets the outer call finish normally
    mutate(arg(lambda: attempts(readers + writers), 5))
    if target == "pre":
        twin.freeze(5)
    else:
        twin.add_clause([0, 5])
    assert snap(obj) == snap(twin)

    # a reading entry may be re-entered by other reading entries, never by a mutating one
    reading = {"db": lambda cb: obj.clause(CallbackIndex(cb, 1)),
               "pre": lambda cb: obj.reconstruct([CallbackBool(cb)] + [True] * (NVARS - 1))}.get(target)
    if reading:
        outside = attempts(readers)
        seen = []
        reading(lambda: seen.extend(attempts(readers + writers)))
        assert seen == outside + [("refused", "Already borrowed")] * len(writers)
    assert use(obj) == use(twin)


def test_mutating_the_sequence_under_conversion():
    # items may empty the list they are read from, or grow it, without harm
    s, twin = make_solver(), make_solver()
    lst = [0, 2]

    class Grow:
        def __index__(self):
            lst.append(8)
            return 4
    lst.append(Grow())
    assert s.add_clause(lst) == twin.add_clause([0, 2, 4, 8])

    class Shrink:
        def __index__(self):
            del lst2[:]
            return 12
    lst2 = [10, Shrink(), 14, 16]
    assert s.add_clause(lst2) == twin.add_clause([10, 12])
    clauses = [[0, 2]]

    class DropOuter:
        def __index__(self):
            clauses.clear()
            gc.collect()
            return 3
    clauses.append([1, DropOuter()])
    clauses.append([5])
    assert nn.check_proof(4, clauses, []) == nn.check_proof(4, [[0, 2], [1, 3]], [])
    assert use_solver(s) == use_solver(twin)


def test_lying_lengths_are_only_hints():
    db, twin = make_db(), make_db()
    for length in (10**18, 2**63 - 1, 0, -1, OverflowError("len"), Boom("len")):
        assert db.add_clause(Seq([0, 2, 4], length=length)) == twin.add_clause([0, 2, 4])
    assert snap_db(db) == snap_db(twin)


def test_numpy_values():
    s, twin = make_solver(), make_solver()
    assert s.add_clause(np.array([0, 2, 40], dtype=np.int64)) == twin.add_clause([0, 2, 40])
    assert s.add_clause(np.array([3, 5], dtype=np.uint32)) == twin.add_clause([3, 5])
    assert nn.mk_lit(np.int32(3), np.True_) == 7
    p = make_pre()
    assert p.reconstruct(np.ones(NVARS, dtype=bool)) == p.reconstruct([True] * NVARS)
    assert nn.check_proof(np.uint8(3), [np.array([0, 2]), np.array([1, 2]), np.array([3])],
                          [(np.False_, np.array([2]))])[0]
    with pytest.raises(OverflowError):
        s.add_clause(np.array([-1]))
    with pytest.raises(TypeError):
        s.add_clause(np.array([0.0, 2.0]))
    with pytest.raises(TypeError):
        nn.Solver(phase_saving=np.int64(1))
    assert snap_solver(s) == snap_solver(twin)


def test_odd_but_valid_options_solve_correctly():
    """Floats the solver does not expect (NaN, infinities, zero decays, out-of-range frequencies) still
    give correct answers: nothing crashes, hangs or corrupts the search."""
    rng = random.Random(3)
    formulas = [(12, [[rng.randrange(24) for _ in range(3)] for _ in range(rng.choice([20, 50, 70]))])
                for _ in range(6)]
    odd = [dict(var_decay=math.nan), dict(var_decay=0.0, var_decay_max=0.0), dict(cla_decay=0.0),
           dict(cla_decay=math.inf), dict(var_decay=math.inf, var_decay_max=math.inf), dict(luby_base=math.nan),
           dict(luby_base=-math.inf), dict(rnd_freq=math.nan), dict(rnd_freq=-1.0), dict(rnd_freq=2.0),
           dict(var_decay=-1.0, var_decay_max=-0.5), dict(first_reduce=0, reduce_inc=0, glue_keep=0)]
    for n, f in formulas:
        want = brute_force_sat(n, f)
        for opts in odd:
            s = nn.Solver(n, **{"walk_min_conflicts": 0, "luby_base": 2.0, **opts})
            s.enable_proof()
            for c in f:
                s.add_clause(c)
            got = s.solve(max_conflicts=100000)
            assert got is want, opts
            assert s.check_watch_invariant() == []
            if got:
                assert satisfies(f, s.model)
            else:
                steps = [(k == "d", [nn.from_dimacs(d) for d in l]) for k, l in s.proof_steps()]
                assert nn.check_proof(n, f, steps)[0], opts


def test_binding_errors_on_every_entry():
    s, p, db = make_solver(), make_pre(), make_db()
    calls = [lambda: nn.neg(), lambda: nn.neg(1, 2), lambda: nn.neg(1, l=2), lambda: nn.neg(x=1),
             lambda: nn.check_proof(1), lambda: nn.solve_portfolio(1, [], [], None, 0, False, None, None, 9),
             lambda: nn.Solver(foo=1), lambda: nn.Solver(*range(22)), lambda: nn.Preprocessor(1, nvars=2),
             lambda: nn.ClauseDb(1, 2), lambda: s.add_clause(), lambda: s.add_clause([0], [1]),
             lambda: s.solve(1, 2, None, False, 5), lambda: s.solve(limit=1), lambda: s.new_var(1), lambda: s.enable_proof(1),
             lambda: s.proof_steps(1), lambda: s.check_watch_invariant(1), lambda: p.reduced(1),
             lambda: p.proof_steps(1), lambda: p.run(1, 2), lambda: p.reconstruct(), lambda: db.clauses(1),
             lambda: db.clause(), lambda: db.add_dimacs(lits=[1], x=1), lambda: nn.mk_lit(1, True, 3)]
    before = snap_solver(s), snap_pre(p), snap_db(db)
    for call in calls:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError, match="enable_proof"):
        s.enable_proof()
    with pytest.raises(AttributeError):
        s.nvars = 3
    with pytest.raises(AttributeError):
        del p.units
    assert (snap_solver(s), snap_pre(p), snap_db(db)) == before


# ---------------------------------------------------------------------------
# Random objects


LEAF = (st.none() | st.booleans() | st.sampled_from([0, 1, 2, 3, 7, 8, -1, -(2**31) - 1, 2**31, 2**32 - 1, 2**32,
                                                      2**63, 2**64, 4294967294, -(2**100)])
        | st.floats(allow_nan=True, allow_infinity=True) | st.text(max_size=4) | st.binary(max_size=4))
OBJECTS = st.recursive(LEAF, lambda kids: st.lists(kids, max_size=4) | st.tuples(kids, kids)
                       | st.dictionaries(st.text(max_size=3), kids, max_size=3), max_leaves=12)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(range(len(ENTRIES))), st.data())
def test_random_objects(which, data):
    name, target, call, base, params, _ = ENTRIES[which]
    make, snap, use = TARGETS[target] if target else (lambda: None, lambda o: None, lambda o: None)
    obj = make()
    before = snap(obj)
    args = dict(base)
    for param in data.draw(st.lists(st.sampled_from(sorted(params)), min_size=1, max_size=2, unique=True)):
        args[param] = data.draw(OBJECTS, label=param)
    if name == "Solver.solve":
        args.setdefault("max_conflicts", 1000)  # the instance is small: any search ends quickly
    try:
        call(obj, **args)
    except REFUSALS:
        assert snap(obj) == before
    if target:
        use(obj)  # still usable, whatever the call did
        if target == "solver":
            assert obj.check_watch_invariant() == []


# ---------------------------------------------------------------------------
# Literals that would need billions of variables


HUGE = r'''
import json, sys, time
import norvane_native as nn
C = json.loads(sys.argv[1])
def attempt(label, fn, snap=lambda: None):
    before = snap()
    t0 = time.perf_counter()
    try:
        fn()
        kind = "returned"
    except MemoryError:
        kind = "MemoryError"
    except BaseException as e:
        kind = type(e).__name__ + ": " + str(e)
    print(json.dumps([label, kind, snap() == before, time.perf_counter() - t0]), flush=True)

s = nn.Solver(3); s.enable_proof(); s.add_clause([0, 2]); s.add_clause([1, 4])
s_snap = lambda: (s.nvars, s.ok, s.conflicts, s.model, s.proof_steps(), s.check_watch_invariant())
p = nn.Preprocessor(3, with_proof=True); p.add_clause([0, 2]); p.add_clause([1, 4])
p_snap = lambda: (p.nvars, p.reduced(), p.proof_steps(), p.units)
for big in BIG:
    attempt(f"Solver(nvars={big})", lambda: nn.Solver(big // 2 + 1))
    attempt(f"Solver.add_clause {big}", lambda: s.add_clause([0, 40, big]), s_snap)
    attempt(f"Preprocessor(nvars={big})", lambda: nn.Preprocessor(big // 2 + 1))
    attempt(f"Preprocessor.add_clause {big}", lambda: p.add_clause([2, 41, big]), p_snap)
    attempt(f"Preprocessor.freeze {big}", lambda: p.freeze(big // 2), p_snap)
    attempt(f"check_proof clause {big}", lambda: nn.check_proof(2, [[0], [big]], []))
    attempt(f"check_proof step {big}", lambda: nn.check_proof(2, [[0, 2]], [(False, [big])]))
    attempt(f"check_proof nvars {big}", lambda: nn.check_proof(big // 2 + 1, [[0]], []))
    for workers in (1, 3):
        attempt(f"solve_portfolio {workers} {big}", lambda: nn.solve_portfolio(2, [[0], [big]], [C] * workers))
    attempt(f"solve_portfolio alt {big}",
            lambda: nn.solve_portfolio(2, [[0, 2]], [C, C], alt=[[big, 1]], alt_threads=1))
if CAPPED:
    # more worker threads than the address space has room for stacks: the start-up failure is reported
    # after the workers already started have ended
    attempt("solve_portfolio 3000 workers", lambda: nn.solve_portfolio(2, [[0, 2]], [C] * 3000))
# still usable afterwards
s.add_clause([0]); p.add_clause([0])
print(json.dumps(["usable", s.solve(), s.model[:3], p.run(), p.reduced()]))
'''


def run_huge(big, cap):
    code = HUGE.replace("for big in BIG:", f"for big in {big!r}:").replace("CAPPED", repr(bool(cap)))
    if cap:
        code = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))\n" + code
    out = subprocess.run([sys.executable, "-c", code, json.dumps(CONFIG)], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
    rows = [json.loads(line) for line in out.stdout.splitlines()]
    *attempts, usable = rows
    # x0 and (not x0 or x2): both objects still answer, with their clauses intact
    assert usable[:2] == ["usable", True] and usable[2][0] and usable[2][2] and usable[3] is True, usable
    return attempts


def test_billions_of_variables_raise_memory_error_quickly():
    # Without a cap: the growth is checked against the machine's memory before anything is allocated.
    for label, kind, unchanged, secs in run_huge([4294967294, 4294967295, 2**31 + 2], cap=None):
        assert kind == "MemoryError", label
        assert unchanged, label
        assert secs < 2.0, (label, secs)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves far more address space than the cap")
def test_growth_beyond_an_address_space_cap_raises_memory_error():
    # With a 4 GiB cap on the address space, growths that the machine could hold but the process may
    # not (tens of millions of variables) fail inside the allocator: still MemoryError, nothing changed.
    big = [4294967294, 2**29, 2**28 + 2]
    *attempts, (_, spawn, _, _) = run_huge(big, cap=4 << 30)
    for label, kind, unchanged, secs in attempts:
        assert kind == "MemoryError", label
        assert unchanged, label
    assert spawn.startswith("PanicException: failed to spawn thread"), spawn
