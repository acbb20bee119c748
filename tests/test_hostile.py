"""Hostile input and long runs: every public entry refuses objects it must refuse, naming the first
parameter that failed, and is left exactly as it was; literals that would need billions of variables end
in MemoryError; no leaks over thousands of life cycles (resident memory, tracked objects, reference
counts); threads do not disturb each other."""
import gc
import json
import math
import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import norvane_native as nn
from conftest import (SANITIZED, SOLVER_KINDS, SOLVER_PARAMS, STATS, Boom, Index, clause_db, expect_notes, notes,
                      pigeonhole, raises, random_3sat, solver, stats, to_steps)

CONFIG = dict(SOLVER_PARAMS[1:])
FORMULA = [[0, 2, 5], [1, 3], [4, 7, 9], [6, 8], [1, 6, 11], [10, 12], [3, 13, 14], [0, 15]]
NVARS = 8


class Raising:
    def __float__(self):
        raise Boom("__float__")

    def __getitem__(self, key):
        raise Boom(f"lookup {key}")


class NumpyBool:  # claims to be a NumPy boolean; its conversion calls `fn` (or raises)

    def __init__(self, fn=None):
        self.fn = fn

    def __bool__(self):
        if not self.fn:
            raise Boom("__bool__")
        self.fn()
        return True


NumpyBool.__module__, NumpyBool.__name__ = "numpy", "bool_"


class Seq:  # a sequence (not a list) with a programmable length that raises Boom at item `raise_at`

    def __init__(self, items, length=None, raise_at=None):
        self.items, self.length, self.raise_at = list(items), length, raise_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.raise_at:
            raise Boom("iteration")
        return self.items[i]


class Clearing:  # empties the list holding it under its conversion (freeing its neighbours), then fails

    def __init__(self, holder):
        self.holder = holder

    def __index__(self):
        self.holder.clear()
        gc.collect()
        raise Boom("list cleared under the iteration")


def clearing_list(head):
    lst = list(head)
    lst += [Clearing(lst), Index(7)]
    return lst


COMMON = [object(), {1: 2}, {1, 2}, (x for x in [1]), iter([1]), np.array([[1.5]]), type, Boom("x")]


def bad_int(lo, hi, target):
    out = [None, "1", b"1", 1.5, math.nan, math.inf, 1j, [1], lo - 1, hi + 1, 2**64, -(2**64), 2**100, Index(),
           Index(lo - 1), Index(hi + 1), Index("1"), np.float64(1.0), np.int64(lo - 1), np.array([1, 2]),
           Index(0, lambda: Index().__index__())] + COMMON
    return out + ([np.uint64(2**64 - 1)] if hi < 2**64 - 1 else [])


def bad_lits(lo, hi, target):
    out = [None, 5, "12", "", [None], [0, 1.5], [0, lo - 1], [0, hi + 1], [2**64], [Index()], (0, Index()), [[0]],
           Seq([0, 2, 4], raise_at=1), Seq([0, 2, 4], length=10**18, raise_at=2), Seq([0, -1], length=ValueError()),
           Seq([0, 2, lo - 1], length=-5), clearing_list([0, 2, 4]), np.array([lo - 1, 0]), np.array([0.5]),
           np.array([[0, 2]]), np.array(["a"]), range(lo - 1, lo + 2)] + COMMON
    if target is not None:  # a literal whose conversion uses the same instance first
        out += [[0, Index(2, lambda: read_any(target))], [0, Index(2, lambda: write_any(target))]]
    return out


def bad_clause_lists(target):
    return [None, 5, "ab", [0], [None], [[0], 5], [[0], "1"], [[0], [-1]], [[2**32]], [[0], [Index()]], {0: [0]},
            Seq([[0], [2]], raise_at=1), [[0], Seq([0, 2], raise_at=0)], np.array([[-1, 0]]), [[0], clearing_list([1])],
            [[0], {0}]]


def bad_configs(target):
    missing = dict(CONFIG)
    del missing["rnd_seed"]
    # one value per path (each field with a bad value of its kind, with its message: test_portfolio.py)
    broken = [dict(CONFIG, **{k: v}) for k, v in [("ccmin", "Deep"), ("glue_keep", 2**32), ("rnd_seed", 1.5),
              ("rnd_freq", Raising()), ("target_reset", Index()), ("block_restart", None)]]
    return [None, 5, "ab", CONFIG, {"a": CONFIG}, [None], [5], [[1, 2]], [{}], [missing], [Raising()],
            Seq([CONFIG], raise_at=0)] + [[CONFIG, b] for b in broken]


KINDS = {
    "u32": lambda t: bad_int(0, 2**32 - 1, t), "u64": lambda t: bad_int(0, 2**64 - 1, t),
    "f64": lambda t: [None, "1.0", b"", [1.0], 10**400, Raising(), Index(), np.array([1.0, 2.0])] + COMMON,
    "bool": lambda t: [None, 0, 1, 1.0, "True", np.int64(1), np.array([True, False]), NumpyBool(), Index(1)] + COMMON,
    "str": lambda t: [None, 1, b"luby", ["luby"], "\ud800", np.str_("Luby"), "Luby", "luby ", "", "luby\x00"] + COMMON,
    "seq_u32": lambda t: bad_lits(0, 2**32 - 1, t), "seq_i32": lambda t: bad_lits(-2**31, 2**31 - 1, t),
    "seq_bool": lambda t: [None, 1, "ab", [1], [True, 0], [True, None], [np.int64(1)], [NumpyBool()],
                           Seq([True, False], raise_at=1), np.array([1, 0]), (True, 1.0)]
                          + ([[True, NumpyBool(lambda: write_any(t))]] if t else []),
    "clauses": bad_clause_lists,
    "steps": lambda t: [None, 5, "ab", [(False, [0]), None], [[False, [0]]], [(1, [0])], [(None, [0])], [(False,)],
                        [(False, [0], 1)], [(False, [-1])], [(False, "0")], [(False, 5)], [(NumpyBool(), [0])],
                        [(np.int64(0), [0])], [(False, [0]), (True, Seq([0], raise_at=0))],
                        Seq([(False, [0])], raise_at=0), [(False, clearing_list([0]))], [tuple()]],
    "configs": bad_configs,
}


def make_db():
    db = clause_db(FORMULA, 3)
    db.add_dimacs([1, -5, 9])
    return db


def snap_db(db):
    return db.clauses(), db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes, len(db), repr(db)


def use_db(db):
    db.add_clause([30, 2, 30])
    db.add_dimacs([-40, 3])
    return snap_db(db), db.clause(len(db) - 1)


def make_solver():
    s = solver(NVARS, FORMULA, restart="glucose", rnd_freq=0.1, rnd_seed=5)
    assert s.solve() is True
    return s


def snap_solver(s):
    return s.nvars, s.ok, [getattr(s, k) for k in STATS], s.model, s.proof_steps(), s.check_watch_invariant(), repr(s)


def use_solver(s):
    # php(3) over variables 20..31: unsatisfiable, so the search does real work and leaves a proof
    return [s.add_clause([l + 40 for l in c]) for c in pigeonhole(3)[1]] + [s.solve()], snap_solver(s)


def make_pre():
    p = nn.Preprocessor(NVARS, with_proof=True)
    p.freeze(1)
    p.add_clauses(FORMULA)
    p.run()
    return p


def snap_pre(p):
    return (p.nvars, p.unsat, p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.resolvents, p.pure,
            p.reactivated, p.reduced(), p.proof_steps(), repr(p))


def use_pre(p):
    p.add_clauses([[2, 5], [21, 3]])
    p.freeze(12)
    ok = p.run(2)
    s = solver(p.nvars, p.reduced(), proof=False)
    sat = s.solve()
    return ok, snap_pre(p), sat, p.reconstruct(s.model) if sat else None


def read_any(obj):
    return obj.num_vars if isinstance(obj, nn.ClauseDb) else obj.model if isinstance(obj, nn.Solver) else obj.reduced()


def write_any(obj):
    return obj.freeze(0) if isinstance(obj, nn.Preprocessor) else obj.add_clause([0])


BIG = [4294967294, 2**31 + 6]
DURATIONS = [-1.0, -math.inf, math.nan, math.inf, 1e300, 2.0**64, 2.0**63]
# (entry, instance kind or None, valid arguments, {param: kind}, extra bad values)
ENTRIES = [
    ("ClauseDb", None, {}, {"nvars": "u32"}, {}),
    ("ClauseDb.add_clause", "db", {"lits": [0, 2]}, {"lits": "seq_u32"}, {"lits": [[0, 4294967295]]}),
    ("ClauseDb.add_dimacs", "db", {"lits": [1, -2]}, {"lits": "seq_i32"}, {"lits": [[1, 0], [0, "x"]]}),
    ("ClauseDb.clause", "db", {"i": 0}, {"i": "u64"}, {"i": [9, 2**64 - 1]}),
    ("Solver", None, {}, SOLVER_KINDS, {"nvars": [2**31, 2**32 - 1]}),
    ("Solver.add_clause", "solver", {"lits": [0, 2]}, {"lits": "seq_u32"},
     {"lits": [[b] for b in BIG] + [[40, 4294967294], [4294967295, 40]]}),
    ("Solver.add_clauses", "solver", {"clauses": [[0, 2]]}, {"clauses": "clauses"},
     {"clauses": [[[0, 2], [4294967294]], [[40], [2, 4294967295]]]}),
    ("Solver.solve", "solver", {"max_conflicts": 5},
     {"max_conflicts": "u64", "seconds": "f64", "assumptions": "seq_u32", "release_gil": "bool"},
     {"assumptions": [[4294967294], [40, 4294967294], [2**31 + 6, 4294967295]], "seconds": DURATIONS}),
    ("Solver.propagate", "solver", {"assumptions": [0]}, {"assumptions": "seq_u32"}, {}),
    ("Preprocessor", None, {},
     {"nvars": "u32", "do_bve": "bool", "max_resolvent_len": "u64", "with_proof": "bool", "proof_binary": "bool"},
     {"nvars": [2**31, 2**32 - 1]}),
    ("Preprocessor.freeze", "pre", {"v": 3}, {"v": "u32"}, {"v": [2**31, 4294967294, 4294967295]}),
    ("Preprocessor.add_clause", "pre", {"lits": [0, 2]}, {"lits": "seq_u32"},
     {"lits": [[4294967294], [40, 4294967294], [4294967295], [2**31 + 6, 40]]}),
    ("Preprocessor.add_clauses", "pre", {"clauses": [[0, 2]]}, {"clauses": "clauses"},
     {"clauses": [[[0], [4294967294]], [[2**31 + 6, 40]]]}),
    ("Preprocessor.run", "pre", {"rounds": 1}, {"rounds": "u32"}, {}),
    ("Preprocessor.reconstruct", "pre", {"model": [False] * NVARS}, {"model": "seq_bool"}, {}),
    ("check_proof", None, {"nvars": 3, "clauses": [[0, 2], [1]], "steps": []},
     {"nvars": "u32", "clauses": "clauses", "steps": "steps", "check_rat": "bool", "apply_deletions": "bool"},
     {"nvars": [2**31, 2**32 - 1], "clauses": [[[4294967294]], [[0], [4294967295, 2]]],
      "steps": [[(False, [4294967294])], [(True, [2, 4294967295])]]}),
    ("solve_portfolio", None, {"nvars": 3, "clauses": [[0, 2]], "configs": [CONFIG, CONFIG], "alt_threads": 1},
     {"nvars": "u32", "clauses": "clauses", "configs": "configs", "alt": "clauses", "alt_threads": "u64",
      "want_proof": "bool", "max_conflicts": "u64", "seconds": "f64"},
     {"nvars": [2**31, 2**32 - 1], "clauses": [[[4294967294]], [[0], [2, 4294967295]]],
      "alt": [[[4294967294]]], "seconds": DURATIONS}),
    # the literal functions share these conversions (their messages: test_api.py)
]


def call(name, obj, **kwargs):
    """Calls entry `name`: a method of `obj` ("Class.method") or a constructor or function of the module."""
    owner, _, attr = name.rpartition(".")
    return getattr(obj if owner else nn, attr)(**kwargs)


TARGETS = {"db": (make_db, snap_db, use_db), "solver": (make_solver, snap_solver, use_solver),
           "pre": (make_pre, snap_pre, use_pre), None: (lambda: None, lambda o: None, lambda o: None)}
# KeyError and IndexError: the lookup of a key in a worker mapping failed, and its error came through.
REFUSALS = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, LookupError, Boom)
OPTIONAL = {("Solver.solve", p) for p in ["max_conflicts", "seconds", "assumptions"]} | {
    ("solve_portfolio", p) for p in ["alt", "max_conflicts", "seconds"]}


@pytest.mark.parametrize("name,target,base,param,kind,extra", [
    pytest.param(n, t, b, p, k, e.get(p, []), id=f"{n}-{p}") for n, t, b, ps, e in ENTRIES for p, k in ps.items()])
def test_bad_argument_is_refused_and_changes_nothing(name, target, base, param, kind, extra):
    make, snap, use = TARGETS[target]
    obj = make()
    before = snap(obj)
    note = expect_notes([f"while processing '{param}'"])
    for value in KINDS[kind](obj) + list(extra):
        if value is None and (name, param) in OPTIONAL:
            continue
        try:
            result = call(name, obj, **dict(base, **{param: value}))
        except REFUSALS as e:
            if notes(e) != note:  # only the checks made after the conversion leave the note out
                late = isinstance(e, (MemoryError, ValueError)) or str(e) == "variable index out of range"
                assert late and notes(e) == [], f"{name}({param}={value!r}): {e!r} with notes {notes(e)}"
        else:
            pytest.fail(f"{name}({param}={value!r}) returned {result!r} instead of raising")
        assert snap(obj) == before, f"{name}({param}={value!r}) changed the instance"
    if target:
        assert use(obj) == use(make()), f"{name}: the instance behaves differently after the refusals"


@pytest.mark.parametrize("name,target,base,params", [
    pytest.param(n, t, b, list(ps), id=n) for n, t, b, ps, _ in ENTRIES if len(ps) > 1])
def test_the_first_failing_parameter_in_declaration_order_is_reported(name, target, base, params):
    obj = TARGETS[target][0]()
    for i, first in enumerate(params):
        raises(TypeError, lambda: call(name, obj, **dict(base, **{p: object() for p in params[i:]})), note=first)


READERS = {
    "db": lambda o: [lambda: o.num_vars, lambda: len(o), lambda: repr(o), o.clauses, lambda: o.clause(0)],
    "solver": lambda o: [lambda: o.model, lambda: o.ok, lambda: repr(o), o.proof_steps, o.check_watch_invariant,
                         o.core] + [lambda k=k: getattr(o, k) for k in STATS],
    "pre": lambda o: [lambda: o.nvars, lambda: o.unsat, lambda: o.eliminated_vars, lambda: repr(o), o.reduced,
                      o.proof_steps, lambda: o.reconstruct([True] * NVARS)],
}
WRITERS = {
    "db": lambda o: [lambda: o.add_clause([0]), lambda: o.add_dimacs([1])],
    "solver": lambda o: [lambda: o.add_clause([0]), o.solve, o.new_var, o.enable_proof, lambda: o.propagate([0]),
                         lambda: o.add_clauses([[0]])],
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
    readers, writers = READERS[target](obj), WRITERS[target](obj)
    mutate = obj.freeze if target == "pre" else obj.add_clause
    arg = (lambda cb, v: Index(v, cb)) if target == "pre" else (lambda cb, v: [0, Index(v, cb)])

    # inside a mutating entry, every other entry is refused (a refusal that propagates changes nothing:
    # test_bad_argument_is_refused_and_changes_nothing); a callback that swallows its refusals lets the
    # outer call finish normally; another thread that calls in meanwhile (the conversion lets it run) is
    # refused the same way
    refusals = [("refused", "Already mutably borrowed")] * len(readers) + \
        [("refused", "Already borrowed")] * len(writers)
    seen = []

    def swallow():
        seen.extend(attempts(readers + writers))
        other = threading.Thread(target=lambda: seen.extend(attempts(readers + writers)))
        other.start()
        other.join()
    mutate(arg(swallow, 5))
    assert seen == refusals * 2
    twin.freeze(5) if target == "pre" else twin.add_clause([0, 5])
    assert snap(obj) == snap(twin)

    # a reading entry may be re-entered by other reading entries, never by a mutating one
    reading = {"db": lambda cb: obj.clause(Index(1, cb)),
               "pre": lambda cb: obj.reconstruct([NumpyBool(cb)] + [True] * (NVARS - 1))}.get(target)
    if reading:
        outside, seen = attempts(readers), []
        reading(lambda: seen.extend(attempts(readers + writers)))
        assert seen == outside + [("refused", "Already borrowed")] * len(writers)
    assert use(obj) == use(twin)


def test_arguments_that_change_under_conversion():
    s, twin = make_solver(), make_solver()
    lst = [0, 2]
    lst.append(Index(4, lambda: lst.append(8)))  # grows the list it is read from
    assert s.add_clause(lst) == twin.add_clause([0, 2, 4, 8])
    lst2 = [10, Index(12, lambda: lst2.clear()), 14, 16]  # empties it: iteration ends after this item
    assert s.add_clause(lst2) == twin.add_clause([10, 12])
    for length in (10**18, 2**63 - 1, 0, -1, OverflowError("len"), Boom("len")):  # lengths are only hints
        assert s.add_clause(Seq([0, 2, 4], length=length)) == twin.add_clause([0, 2, 4])
    clauses = [[0, 2]]
    clauses += [[1, Index(3, lambda: (clauses.clear(), gc.collect()))], [5]]
    assert nn.check_proof(4, clauses, []) == nn.check_proof(4, [[0, 2], [1, 3]], [])
    assert use_solver(s) == use_solver(twin)


HUGE = r'''
import json, sys, time
import norvane_native as nn
C = json.loads(sys.argv[1])
def attempt(label, fn, snap=lambda: None):
    before, t0 = snap(), time.perf_counter()
    try:
        fn()
        kind = "returned"
    except BaseException as e:
        kind = f"{type(e).__name__}: {e}"
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
    attempt(f"solve_portfolio alt {big}", lambda: nn.solve_portfolio(2, [[0, 2]], [C, C], alt=[[big, 1]], alt_threads=1))
if CAPPED:
    # more worker threads than the address space has room for stacks: the start-up failure is reported
    # after the workers already started have ended
    attempt("solve_portfolio 3000 workers", lambda: nn.solve_portfolio(2, [[0, 2]], [C] * 3000))
s.add_clause([0]); p.add_clause([0])
# a clause settled before its huge literal is reached needs no room for it
settled = [s.add_clause([0, 4294967295]), s.add_clause([4, 5, 4294967295]), s.nvars]
print(json.dumps(["usable", settled, s.solve(), s.model[:3], p.run(), p.reduced()]))
'''


@pytest.mark.parametrize("big,cap", [([4294967294, 4294967295, 2**31 + 2], None), ([4294967294, 2**29, 2**28 + 2], 4 << 30)])
def test_billions_of_variables_raise_memory_error_quickly(big, cap):
    # without a cap the growth is checked against the machine's memory before anything is allocated; under
    # a 4 GiB cap, growths the machine could hold fail inside the allocator: still MemoryError, nothing changed
    if cap and SANITIZED:
        pytest.skip("the sanitizer runtime reserves far more address space than the cap")
    code = HUGE.replace("for big in BIG:", f"for big in {big!r}:").replace("CAPPED", repr(bool(cap)))
    if cap:
        code = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))\n" + code
    out = subprocess.run([sys.executable, "-c", code, json.dumps(CONFIG)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
    *attempted, usable = [json.loads(line) for line in out.stdout.splitlines()]
    # x0 and (not x0 or x2): both objects still answer, with their clauses intact
    assert usable[:3] == ["usable", [True, True, 3], True] and usable[3][::2] == [1, 1] and usable[4], usable
    if cap:
        *attempted, (_, spawn, _, _) = attempted
        assert spawn.startswith("PanicException: failed to spawn thread"), spawn
    for label, kind, unchanged, secs in attempted:
        assert kind.startswith("MemoryError: ") and unchanged and (cap or secs < 2.0), (label, kind, secs)


GLUCOSE = dict(CONFIG, restart="glucose", ccmin="basic", first_reduce=50, reduce_inc=10, walk_min_conflicts=0)


UNSAT = [[0, 2], [0, 3], [1, 2], [1, 3]]
PROOF_FORMULA = random_3sat(11, 16, 6.0)
_s = solver(16, PROOF_FORMULA)
assert _s.solve() is False
PROOF = to_steps(_s.proof_steps())


def refusals_cycle():
    """Every entry with every bad value of the table above (about 1500 refused calls)."""
    objs = {t: make() for t, (make, _, _) in TARGETS.items()}
    for name, target, base, params, extra in ENTRIES:
        for param, kind in params.items():
            for value in KINDS[kind](objs[target]) + list(extra.get(param, [])):
                try:
                    call(name, objs[target], **dict(base, **{param: value}))
                except REFUSALS:
                    pass


# each object made, used as in the refusal tests and dropped; the error paths in refusals_cycle
CYCLES = {
    "ClauseDb": (lambda: use_db(make_db()), 2000), "Solver": (lambda: use_solver(make_solver()), 2000),
    "Preprocessor": (lambda: use_pre(make_pre()), 2000),
    "check_proof": (lambda: (nn.check_proof(16, PROOF_FORMULA, PROOF), nn.check_proof(2, [[1, 2]], [(False, [0])]),
                             nn.check_proof(16, PROOF_FORMULA, PROOF[: len(PROOF) // 2], check_rat=False)), 2000),
    "solve_portfolio": (lambda: (nn.solve_portfolio(2, UNSAT, [CONFIG, GLUCOSE], want_proof=True),
                                 nn.solve_portfolio(3, [[0, 2]], [CONFIG, GLUCOSE], alt=UNSAT, alt_threads=1),
                                 nn.solve_portfolio(3, [[0]], [])), 2000),
    "refusals": (refusals_cycle, 40),
}


@pytest.mark.parametrize("name", CYCLES)
def test_life_cycles_keep_memory_and_objects_flat(name):
    cycle, rounds = CYCLES[name]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(rounds // 10 + 5):  # warm up: allocator pools, interned strings, caches
        cycle()
    gc.collect()
    mem0, objs0 = rss(), len(gc.get_objects())
    for _ in range(rounds):
        cycle()
    gc.collect()
    grew, more = rss() - mem0, len(gc.get_objects()) - objs0
    assert SANITIZED or grew < 1 << 20, f"{name}: resident memory grew by {grew} bytes over {rounds} cycles"
    assert more <= 5, f"{name}: {more} more objects tracked by the collector"


def test_reference_counts_return_to_where_they_were():
    lits = [int("300"), int("302"), int("305")]
    bad_item = Index()
    bad = [int("300"), bad_item]
    clause_list, bad_clauses = [lits, [int("301"), int("303")]], [lits, bad]
    step = (False, lits)
    steps, bad_steps = [step, (True, lits)], [step, (False, bad)]
    decay = float("0.875")
    config = dict(CONFIG, var_decay=decay)
    bad_config = dict(config, rnd_seed=bad_item)
    model = [True] * 200
    watched = [lits, *lits, bad, bad_item, clause_list, bad_clauses, step, steps, bad_steps, decay, config,
               bad_config, model, nn.ClauseDb, nn.Solver, nn.Preprocessor, nn.PanicException]
    # The singletons are shared with the interpreter, whose own caches move their counts a little; a
    # result built with one reference too many would move them by hundreds.
    singletons = [None, True, False]
    s, p, db = nn.Solver(3), nn.Preprocessor(3), nn.ClauseDb()
    gc.collect()
    gc.disable()  # only garbage made by the calls below may be collected before the second count
    try:
        before, singles = [sys.getrefcount(o) for o in watched], [sys.getrefcount(o) for o in singletons]
        for _ in range(300):
            s.add_clause(lits), p.add_clause(lits), db.add_clause(lits)
            for call in (lambda: s.add_clause(bad), lambda: p.add_clause(bad), lambda: db.add_clause(bad),
                         lambda: nn.check_proof(3, bad_clauses, steps), lambda: nn.check_proof(3, clause_list, bad_steps),
                         lambda: nn.solve_portfolio(3, bad_clauses, [config]), lambda: nn.mk_lit(bad_item)):
                raises(Boom, call)
            nn.check_proof(3, clause_list, steps)
            nn.solve_portfolio(3, clause_list, [config])
            raises(TypeError, lambda: nn.solve_portfolio(3, clause_list, [config, bad_config]))
            p.reconstruct(model)
            nn.Solver(3, var_decay=decay), nn.is_neg(lits[0]), nn.mk_lit(lits[0], True), s.solve(max_conflicts=0)
            raises(TypeError, lambda: nn.Solver(3, var_decay=decay, restart=None))
            raises(ValueError, lambda: s.solve(seconds=float("nan")))
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        singles = [sys.getrefcount(o) - b for o, b in zip(singletons, singles)]
    finally:
        gc.enable()
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(watched, before, after) if a != b]
    assert not changed, changed
    assert all(abs(d) < 100 for d in singles), singles


def solver_work(seed):
    f = random_3sat(seed, 190, 4.3)  # seed 1 satisfiable, seed 2 not
    s = solver(190, f, restart=("luby", "glucose")[seed % 2], rnd_freq=0.02, rnd_seed=seed)
    sat, steps = s.solve(), to_steps(s.proof_steps())
    return (sat, s.model, stats(s), steps, s.check_watch_invariant(), nn.check_proof(190, f, steps),
            nn.check_proof(190, f, steps[: len(steps) // 2], check_rat=False))


def preprocessor_work(seed):
    p = nn.Preprocessor(400, with_proof=True, do_bve=seed % 3 != 0)
    p.add_clauses(random_3sat(seed, 400, 3.9))
    ok = p.run()
    s = solver(p.nvars, p.reduced(), proof=False)
    return ok, p.reduced(), p.proof_steps(), s.solve() and p.reconstruct(s.model)


def test_threads_with_their_own_objects_match_the_runs_alone():
    # the entries that release the interpreter lock (portfolio workers, threads themselves: test_portfolio.py)
    jobs = [(fn, seed) for seed in (1, 2) for fn in [solver_work, preprocessor_work]]
    alone = [fn(seed) for fn, seed in jobs]
    barrier = threading.Barrier(len(jobs), timeout=120)

    def run(fn, seed):
        barrier.wait()
        return [fn(seed), fn(seed)]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(5e-5)  # switch threads often
    try:
        with ThreadPoolExecutor(len(jobs)) as pool:
            together = [pool.submit(run, *job) for job in jobs]
    finally:
        sys.setswitchinterval(interval)
    for (fn, seed), want, got in zip(jobs, alone, together):
        assert got.result() == [want, want], (fn.__name__, seed)
