"""Long-run reliability: no leaks over thousands of life cycles, and threads that do not disturb each other.

Leaks are measured three ways: the resident memory of the process (/proc/self/statm) over thousands of
create / add / solve / proof / destroy cycles, error paths included; the number of objects the garbage
collector tracks; and the reference counts of the objects passed as arguments, of the classes and of the
singletons the results are built from.
"""
import gc
import os
import random
import sys
import threading
import time

import pytest

import norvane_native as nn
from conftest import panic_type, satisfies

PANIC = panic_type()
# Under AddressSanitizer freed memory sits in a quarantine, so resident memory is no measure of leaks.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")
CONFIG = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
              target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
              var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
              reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)
GLUCOSE = dict(CONFIG, restart="glucose", ccmin="basic", first_reduce=50, reduce_inc=10, walk_min_conflicts=0)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def random_3sat(seed, n, ratio):
    rng = random.Random(seed)
    return [[2 * v + rng.randrange(2) for v in rng.sample(range(n), 3)] for _ in range(round(n * ratio))]


def to_steps(pairs):
    return [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in pairs]


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom("no index")


def refused(call, kind):
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind}")


# ---------------------------------------------------------------------------
# Life cycles, each ending in the destruction of everything it made, with its error paths

SMALL = random_3sat(7, 24, 3.0)  # satisfiable
UNSAT = [[0, 2], [0, 3], [1, 2], [1, 3]]
HUGE = 4294967294


def clausedb_cycle():
    db = nn.ClauseDb(4)
    for c in SMALL:
        db.add_clause(c)
    db.add_dimacs([1, -2, 3])
    db.clause(3), db.clauses(), len(db), repr(db), db.num_vars, db.memory_bytes
    refused(lambda: db.add_clause([4294967295]), ValueError)
    refused(lambda: db.add_dimacs([1, 0]), ValueError)
    refused(lambda: db.clause(10**6), ValueError)
    refused(lambda: db.add_clause("12"), TypeError)
    refused(lambda: db.add_clause([0, RaisingIndex()]), Boom)
    refused(lambda: db.add_clause([0, _Reenter(db.clauses)]), RuntimeError)
    refused(lambda: nn.ClauseDb(-1), OverflowError)


class _Reenter:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        self.fn()
        return 0


def solver_cycle():
    s = nn.Solver(24, restart="glucose")
    s.enable_proof()
    for c in SMALL:
        s.add_clause(c)
    s.solve(), s.model, s.proof_steps(), s.check_watch_invariant(), repr(s), s.conflicts
    u = nn.Solver(2)
    u.enable_proof()
    for c in UNSAT:
        u.add_clause(c)
    u.solve(), u.proof_steps(), u.model
    refused(lambda: s.add_clause([-1]), OverflowError)
    refused(lambda: s.add_clause([HUGE]), MemoryError)
    refused(lambda: s.solve(seconds=-1.0), ValueError)
    refused(lambda: s.solve(max_conflicts="x"), TypeError)
    refused(lambda: s.enable_proof(), ValueError)
    refused(lambda: s.add_clause([0, _Reenter(lambda: s.model)]), RuntimeError)
    refused(lambda: nn.Solver(restart="x"), ValueError)
    refused(lambda: nn.Solver(2**31), MemoryError)
    refused(lambda: nn.Solver(foo=1), TypeError)
    refused(lambda: nn.Solver(walk_flips=-1), OverflowError)


def preprocessor_cycle():
    p = nn.Preprocessor(24, with_proof=True)
    p.freeze(3)
    for c in SMALL:
        p.add_clause(c)
    p.run(), p.reduced(), p.proof_steps(), repr(p), p.eliminated_vars
    p.reconstruct([True] * 24)
    q = nn.Preprocessor(2)
    q.add_clause([0, 2])
    q.add_clause([1, 4])
    q.freeze(1)
    q.freeze(2)
    q.run()
    refused(lambda: q.reconstruct([False, False, False]), ValueError)  # reconstruction failed for x0
    refused(lambda: p.freeze(4294967295), OverflowError)
    refused(lambda: p.add_clause([HUGE]), MemoryError)
    refused(lambda: p.reconstruct([1]), TypeError)
    refused(lambda: p.add_clause([0, _Reenter(p.reduced)]), RuntimeError)
    refused(lambda: nn.Preprocessor(do_bve=1), TypeError)


SOLVED = nn.Solver(16)
SOLVED.enable_proof()
for _c in random_3sat(11, 16, 6.0):
    SOLVED.add_clause(_c)
assert SOLVED.solve() is False
PROOF = to_steps(SOLVED.proof_steps())
PROOF_FORMULA = random_3sat(11, 16, 6.0)


def check_proof_cycle():
    assert nn.check_proof(16, PROOF_FORMULA, PROOF)[0]
    nn.check_proof(16, PROOF_FORMULA, PROOF[: len(PROOF) // 2], check_rat=False)
    nn.check_proof(2, [[1, 2]], [(False, [0])])  # RAT candidate, fails
    refused(lambda: nn.check_proof(2, [[0]], [(1, [0])]), TypeError)
    refused(lambda: nn.check_proof(2, [[0]], [(False, [0], 1)]), ValueError)
    refused(lambda: nn.check_proof(2, [[0], [RaisingIndex()]], []), Boom)
    refused(lambda: nn.check_proof(2, [[0, 2]], [(False, [HUGE])]), MemoryError)
    refused(lambda: nn.check_proof(1), TypeError)


def portfolio_cycle():
    nn.solve_portfolio(24, SMALL, [CONFIG])
    nn.solve_portfolio(2, UNSAT, [CONFIG, GLUCOSE], want_proof=True)
    nn.solve_portfolio(24, SMALL, [CONFIG, GLUCOSE], alt=UNSAT, alt_threads=1)
    nn.solve_portfolio(3, [[0]], [])
    bad = dict(CONFIG)
    del bad["rnd_seed"]
    refused(lambda: nn.solve_portfolio(2, UNSAT, [CONFIG, bad]), KeyError)
    refused(lambda: nn.solve_portfolio(2, UNSAT, [dict(CONFIG, ccmin="Deep")]), ValueError)
    refused(lambda: nn.solve_portfolio(2, UNSAT, [dict(CONFIG, walk_flips=-1)]), TypeError)
    refused(lambda: nn.solve_portfolio(2, [[HUGE]], [CONFIG, CONFIG]), MemoryError)
    refused(lambda: nn.solve_portfolio(2, UNSAT, {"a": CONFIG}), TypeError)


def literals_cycle():
    for v in (0, 1, 77, 2**31 - 1):
        nn.to_dimacs(nn.neg(nn.mk_lit(v, True))), nn.var_of(2 * v), nn.is_neg(2 * v + 1)
    nn.from_dimacs(-5)
    refused(lambda: nn.from_dimacs(0), ValueError)
    refused(lambda: nn.mk_lit(3, 1), TypeError)
    refused(lambda: nn.neg(2**32), OverflowError)
    refused(lambda: nn.neg(1, 2), TypeError)


CYCLES = [clausedb_cycle, solver_cycle, preprocessor_cycle, check_proof_cycle, portfolio_cycle, literals_cycle]


@pytest.mark.parametrize("cycle", CYCLES, ids=lambda f: f.__name__)
def test_life_cycles_keep_memory_and_objects_flat(cycle):
    for _ in range(200):  # warm up: allocator pools, interned strings, caches
        cycle()
    gc.collect()
    mem0, objs0 = rss(), len(gc.get_objects())
    for _ in range(2000):
        cycle()
    gc.collect()
    grew, more = rss() - mem0, len(gc.get_objects()) - objs0
    print(f"{cycle.__name__}: 2000 cycles, resident memory {mem0 >> 10} -> {(mem0 + grew) >> 10} KiB, "
          f"{more:+d} tracked objects")
    if not SANITIZED:
        assert grew < 1 << 20, f"{cycle.__name__}: resident memory grew by {grew} bytes over 2000 cycles"
    assert more <= 5, f"{cycle.__name__}: {more} more objects tracked by the collector"


def test_reference_counts_return_to_where_they_were():
    lits = [int("300"), int("302"), int("305")]
    bad_item = RaisingIndex()
    bad = [int("300"), bad_item]
    clause_list = [lits, [int("301"), int("303")]]
    bad_clauses = [lits, bad]
    step = (False, lits)
    steps = [step, (True, lits)]
    bad_steps = [step, (False, bad)]
    decay = float("0.875")
    config = dict(CONFIG, var_decay=decay)
    bad_config = dict(config, rnd_seed=bad_item)
    model = [True] * 200
    watched = [lits, *lits, bad, bad_item, clause_list, bad_clauses, step, steps, bad_steps, decay, config,
               bad_config, model, nn.ClauseDb, nn.Solver, nn.Preprocessor, PANIC]
    # The singletons are shared with the interpreter, whose own caches move their counts a little; a
    # result built with one reference too many would move them by hundreds.
    singletons = [None, True, False]
    s, p, db = nn.Solver(3), nn.Preprocessor(3), nn.ClauseDb()
    gc.collect()
    gc.disable()  # only garbage made by the calls below may be collected before the second count
    try:
        before = [sys.getrefcount(o) for o in watched]
        singles = [sys.getrefcount(o) for o in singletons]

        for _ in range(300):
            s.add_clause(lits), p.add_clause(lits), db.add_clause(lits)
            refused(lambda: s.add_clause(bad), Boom)
            refused(lambda: p.add_clause(bad), Boom)
            refused(lambda: db.add_clause(bad), Boom)
            nn.check_proof(3, clause_list, steps)
            refused(lambda: nn.check_proof(3, bad_clauses, steps), Boom)
            refused(lambda: nn.check_proof(3, clause_list, bad_steps), Boom)
            nn.solve_portfolio(3, clause_list, [config])
            refused(lambda: nn.solve_portfolio(3, clause_list, [config, bad_config]), TypeError)
            refused(lambda: nn.solve_portfolio(3, bad_clauses, [config]), Boom)
            p.reconstruct(model)
            nn.Solver(3, var_decay=decay), nn.is_neg(lits[0]), nn.mk_lit(lits[0], True), s.solve(max_conflicts=0)
            refused(lambda: nn.Solver(3, var_decay=decay, restart=None), TypeError)
            refused(lambda: s.solve(seconds=float("nan")), ValueError)
            refused(lambda: nn.mk_lit(bad_item), Boom)
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        singles = [sys.getrefcount(o) - b for o, b in zip(singletons, singles)]
    finally:
        gc.enable()
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(watched, before, after) if a != b]
    assert not changed, changed
    assert all(abs(d) < 100 for d in singles), singles


# ---------------------------------------------------------------------------
# Threads


def solver_work(seed):
    f = random_3sat(seed, 190, 4.3)
    s = nn.Solver(190, restart="glucose" if seed % 2 else "luby", rnd_freq=0.02, rnd_seed=seed)
    s.enable_proof()
    for c in f:
        s.add_clause(c)
    ans = s.solve()
    assert s.check_watch_invariant() == []
    return ans, s.model, [getattr(s, k) for k in ("conflicts", "decisions", "propagations", "learned",
                                                  "restarts", "deleted")], s.proof_steps()


def preprocessor_work(seed):
    f = random_3sat(seed, 400, 3.9)
    p = nn.Preprocessor(400, with_proof=True, do_bve=seed % 3 != 0)
    for c in f:
        p.add_clause(c)
    ok = p.run()
    s = nn.Solver(p.nvars)
    for c in p.reduced():
        s.add_clause(c)
    ans = s.solve()
    full = p.reconstruct(s.model) if ans else None
    if full:
        assert satisfies(f, full)
    return ok, p.reduced(), p.proof_steps(), ans, full


def clausedb_work(seed):
    rng = random.Random(seed)
    db = nn.ClauseDb()
    for _ in range(3000):
        db.add_dimacs([rng.choice([-1, 1]) * rng.randint(1, 500) for _ in range(rng.randint(1, 6))])
    return db.clauses(), db.num_vars, db.memory_bytes


def check_work(seed):
    f = random_3sat(seed, 170, 4.6)
    s = nn.Solver(170)
    s.enable_proof()
    for c in f:
        s.add_clause(c)
    assert s.solve() is False
    steps = to_steps(s.proof_steps())
    return nn.check_proof(170, f, steps), nn.check_proof(170, f, steps[: len(steps) // 2], check_rat=False)


def portfolio_work(seed):
    f = random_3sat(seed, 160, 4.3)
    one = nn.solve_portfolio(160, f, [GLUCOSE], want_proof=True)
    # two equal workers run the same search: whoever wins, the rest of the result is the same
    two = nn.solve_portfolio(160, f, [CONFIG, CONFIG], want_proof=True)
    return one, two[1:]


WORK = [solver_work, preprocessor_work, clausedb_work, check_work, portfolio_work]


def test_threads_with_their_own_objects_match_the_runs_alone():
    jobs = [(fn, seed) for seed in (1, 2) for fn in WORK]
    alone = {(fn.__name__, seed): fn(seed) for fn, seed in jobs}
    together, errors = {}, []
    barrier = threading.Barrier(len(jobs))

    def run(fn, seed):
        try:
            barrier.wait()
            for _ in range(2):
                together.setdefault((fn.__name__, seed), []).append(fn(seed))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((fn.__name__, seed, e))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(5e-5)  # switch threads often
    try:
        threads = [threading.Thread(target=run, args=job) for job in jobs]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    for key, want in alone.items():
        assert together[key] == [want, want], key


def test_one_instance_shared_between_threads_refuses_the_second_caller():
    """While one thread converts an argument (and lets other threads run), another thread gets the
    instance's access error, and the instance ends up exactly as if only the first call had happened."""
    for make, mutate, read in [
        (lambda: nn.Solver(4), lambda o, a: o.add_clause(a), lambda o: o.model),
        (lambda: nn.ClauseDb(4), lambda o, a: o.add_clause(a), lambda o: o.clauses()),
        (lambda: nn.Preprocessor(4), lambda o, a: o.add_clause(a), lambda o: o.reduced()),
    ]:
        obj, twin = make(), make()
        inside, done = threading.Event(), threading.Event()

        class Slow:
            def __index__(self):
                inside.set()
                done.wait(5)
                return 6
        seen = []

        def other():
            inside.wait(5)
            for call in (lambda: read(obj), lambda: mutate(obj, [0])):
                try:
                    call()
                    seen.append("ran")
                except RuntimeError as e:
                    seen.append(str(e))
            done.set()
        t = threading.Thread(target=other)
        t.start()
        mutate(obj, [0, 2, Slow()])
        t.join()
        mutate(twin, [0, 2, 6])
        assert seen == ["Already mutably borrowed", "Already borrowed"]
        assert read(obj) == read(twin)


def test_long_clause_and_step_lists_convert_in_linear_time():
    """Converting a clause or step list appends to one flat vector; making room clause by clause must
    not copy it again each time (200,000 steps took minutes that way)."""
    n = 200_000
    clauses = [[(6 * i) % 4000, (6 * i + 3) % 4000, (6 * i + 4) % 4000] for i in range(n)]
    steps = [(True, c) for c in clauses]
    t0 = time.perf_counter()
    res = nn.check_proof(2000, clauses[:10], steps, apply_deletions=False)
    assert res[2] == n
    assert nn.solve_portfolio(2000, clauses, []) is None
    assert time.perf_counter() - t0 < 10.0
