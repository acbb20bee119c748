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
from conftest import SOLVER_PARAMS, random_3sat, satisfies, solver, to_steps

# Under AddressSanitizer freed memory sits in a quarantine, so resident memory is no measure of leaks.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CONFIG = dict(SOLVER_PARAMS[1:])
GLUCOSE = dict(CONFIG, restart="glucose", ccmin="basic", first_reduce=50, reduce_inc=10, walk_min_conflicts=0)
HUGE = 4294967294


class Boom(Exception):
    pass


class Reenter:
    def __init__(self, fn, value=0):
        self.fn, self.value = fn, value

    def __index__(self):
        if self.fn is None:
            raise Boom("no index")
        self.fn()
        return self.value


def refused(call, kind):
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind}")


SMALL = random_3sat(7, 24, 3.0)  # satisfiable
UNSAT = [[0, 2], [0, 3], [1, 2], [1, 3]]
PROOF_FORMULA = random_3sat(11, 16, 6.0)
_s = solver(16, PROOF_FORMULA)
assert _s.solve() is False
PROOF = to_steps(_s.proof_steps())


def clausedb_cycle():
    db = nn.ClauseDb(4)
    for c in SMALL:
        db.add_clause(c)
    db.add_dimacs([1, -2, 3])
    db.clause(3), db.clauses(), len(db), repr(db), db.num_vars, db.memory_bytes
    for call, kind in [(lambda: db.add_clause([4294967295]), ValueError), (lambda: db.clause(10**6), ValueError),
                       (lambda: db.add_clause([0, Reenter(None)]), Boom),
                       (lambda: db.add_clause([0, Reenter(db.clauses)]), RuntimeError)]:
        refused(call, kind)


def solver_cycle():
    s = solver(24, SMALL, restart="glucose")
    s.solve(), s.model, s.proof_steps(), s.check_watch_invariant(), repr(s), s.conflicts
    u = solver(2, UNSAT)
    u.solve(), u.proof_steps(), u.model
    for call, kind in [(lambda: s.add_clause([HUGE]), MemoryError), (lambda: s.solve(seconds=-1.0), ValueError),
                       (s.enable_proof, ValueError), (lambda: s.add_clause([0, Reenter(lambda: s.model)]), RuntimeError),
                       (lambda: nn.Solver(restart="x"), ValueError), (lambda: nn.Solver(2**31), MemoryError),
                       (lambda: nn.Solver(walk_flips=-1), OverflowError)]:
        refused(call, kind)


def preprocessor_cycle():
    p = nn.Preprocessor(24, with_proof=True)
    p.freeze(3)
    for c in SMALL:
        p.add_clause(c)
    p.run(), p.reduced(), p.proof_steps(), repr(p), p.eliminated_vars
    p.reconstruct([True] * 24)
    q = nn.Preprocessor(2)
    q.add_clauses([[0, 2], [1, 4]])
    q.freeze(1)
    q.freeze(2)
    q.run()
    for call, kind in [(lambda: q.reconstruct([False, False, False]), ValueError),
                       (lambda: p.freeze(4294967295), OverflowError), (lambda: p.add_clause([HUGE]), MemoryError),
                       (lambda: p.reconstruct([1]), TypeError), (lambda: p.add_clause([0, Reenter(p.reduced)]), RuntimeError),
                       (lambda: nn.Preprocessor(do_bve=1), TypeError)]:
        refused(call, kind)


def check_proof_cycle():
    assert nn.check_proof(16, PROOF_FORMULA, PROOF)[0]
    nn.check_proof(16, PROOF_FORMULA, PROOF[: len(PROOF) // 2], check_rat=False)
    nn.check_proof(2, [[1, 2]], [(False, [0])])  # RAT candidate, fails
    for call, kind in [(lambda: nn.check_proof(2, [[0]], [(False, [0], 1)]), ValueError),
                       (lambda: nn.check_proof(2, [[0], [Reenter(None)]], []), Boom),
                       (lambda: nn.check_proof(2, [[0, 2]], [(False, [HUGE])]), MemoryError)]:
        refused(call, kind)


def portfolio_cycle():
    nn.solve_portfolio(24, SMALL, [CONFIG])
    nn.solve_portfolio(2, UNSAT, [CONFIG, GLUCOSE], want_proof=True)
    nn.solve_portfolio(24, SMALL, [CONFIG, GLUCOSE], alt=UNSAT, alt_threads=1)
    nn.solve_portfolio(3, [[0]], [])
    bad = dict(CONFIG)
    del bad["rnd_seed"]
    for call, kind in [(lambda: nn.solve_portfolio(2, UNSAT, [CONFIG, bad]), KeyError),
                       (lambda: nn.solve_portfolio(2, UNSAT, [dict(CONFIG, ccmin="Deep")]), ValueError),
                       (lambda: nn.solve_portfolio(2, UNSAT, [dict(CONFIG, walk_flips=-1)]), TypeError),
                       (lambda: nn.solve_portfolio(2, [[HUGE]], [CONFIG, CONFIG]), MemoryError)]:
        refused(call, kind)


def literals_cycle():
    for v in (0, 1, 77, 2**31 - 1):
        nn.to_dimacs(nn.neg(nn.mk_lit(v, True))), nn.var_of(2 * v), nn.is_neg(2 * v + 1)
    nn.from_dimacs(-5)
    for call, kind in [(lambda: nn.from_dimacs(0), ValueError), (lambda: nn.mk_lit(3, 1), TypeError),
                       (lambda: nn.neg(2**32), OverflowError), (lambda: nn.neg(1, 2), TypeError)]:
        refused(call, kind)


@pytest.mark.parametrize("cycle", [clausedb_cycle, solver_cycle, preprocessor_cycle, check_proof_cycle,
                                   portfolio_cycle, literals_cycle], ids=lambda f: f.__name__)
def test_life_cycles_keep_memory_and_objects_flat(cycle):
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(200):  # warm up: allocator pools, interned strings, caches
        cycle()
    gc.collect()
    mem0, objs0 = rss(), len(gc.get_objects())
    for _ in range(2000):
        cycle()
    gc.collect()
    grew, more = rss() - mem0, len(gc.get_objects()) - objs0
    assert SANITIZED or grew < 1 << 20, f"{cycle.__name__}: resident memory grew by {grew} bytes over 2000 cycles"
    assert more <= 5, f"{cycle.__name__}: {more} more objects tracked by the collector"


def test_reference_counts_return_to_where_they_were():
    lits = [int("300"), int("302"), int("305")]
    bad_item = Reenter(None)
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
                refused(call, Boom)
            nn.check_proof(3, clause_list, steps)
            nn.solve_portfolio(3, clause_list, [config])
            refused(lambda: nn.solve_portfolio(3, clause_list, [config, bad_config]), TypeError)
            p.reconstruct(model)
            nn.Solver(3, var_decay=decay), nn.is_neg(lits[0]), nn.mk_lit(lits[0], True), s.solve(max_conflicts=0)
            refused(lambda: nn.Solver(3, var_decay=decay, restart=None), TypeError)
            refused(lambda: s.solve(seconds=float("nan")), ValueError)
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        singles = [sys.getrefcount(o) - b for o, b in zip(singletons, singles)]
    finally:
        gc.enable()
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(watched, before, after) if a != b]
    assert not changed, changed
    assert all(abs(d) < 100 for d in singles), singles


def solver_work(seed):
    s = solver(190, random_3sat(seed, 190, 4.3), restart="glucose" if seed % 2 else "luby", rnd_freq=0.02, rnd_seed=seed)
    ans = s.solve()
    assert s.check_watch_invariant() == []
    return ans, s.model, s.conflicts, s.decisions, s.propagations, s.learned, s.restarts, s.deleted, s.proof_steps()


def preprocessor_work(seed):
    f = random_3sat(seed, 400, 3.9)
    p = nn.Preprocessor(400, with_proof=True, do_bve=seed % 3 != 0)
    p.add_clauses(f)
    ok = p.run()
    s = solver(p.nvars, p.reduced(), proof=False)
    ans = s.solve()
    full = p.reconstruct(s.model) if ans else None
    assert not full or satisfies(f, full)
    return ok, p.reduced(), p.proof_steps(), ans, full


def clausedb_work(seed):
    rng = random.Random(seed)
    db = nn.ClauseDb()
    for _ in range(3000):
        db.add_dimacs([rng.choice([-1, 1]) * rng.randint(1, 500) for _ in range(rng.randint(1, 6))])
    return db.clauses(), db.num_vars, db.memory_bytes


def check_work(seed):
    f = random_3sat(seed, 170, 4.6)
    s = solver(170, f)
    assert s.solve() is False
    steps = to_steps(s.proof_steps())
    return nn.check_proof(170, f, steps), nn.check_proof(170, f, steps[: len(steps) // 2], check_rat=False)


def portfolio_work(seed):
    f = random_3sat(seed, 160, 4.3)
    # two equal workers run the same search: whoever wins, the rest of the result is the same
    return nn.solve_portfolio(160, f, [GLUCOSE], want_proof=True), nn.solve_portfolio(160, f, [CONFIG] * 2, want_proof=True)[1:]


def test_threads_with_their_own_objects_match_the_runs_alone():
    jobs = [(fn, seed) for seed in (1, 2) for fn in [solver_work, preprocessor_work, clausedb_work, check_work,
                                                     portfolio_work]]
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
    for make, read in [(lambda: nn.Solver(4), lambda o: o.model), (lambda: nn.ClauseDb(4), lambda o: o.clauses()),
                       (lambda: nn.Preprocessor(4), lambda o: o.reduced())]:
        obj, twin = make(), make()
        inside, done, seen = threading.Event(), threading.Event(), []

        def other():
            inside.wait(5)
            for call in (lambda: read(obj), lambda: obj.add_clause([0])):
                try:
                    call()
                    seen.append("ran")
                except RuntimeError as e:
                    seen.append(str(e))
            done.set()
        t = threading.Thread(target=other)
        t.start()
        obj.add_clause([0, 2, Reenter(lambda: (inside.set(), done.wait(5)), 6)])
        t.join()
        twin.add_clause([0, 2, 6])
        assert seen == ["Already mutably borrowed", "Already borrowed"]
        assert read(obj) == read(twin)


def test_long_clause_and_step_lists_convert_in_linear_time():
    """Converting a clause or step list appends to one flat vector; making room clause by clause must
    not copy it again each time (200,000 steps took minutes that way)."""
    n = 200_000
    clauses = [[(6 * i) % 4000, (6 * i + 3) % 4000, (6 * i + 4) % 4000] for i in range(n)]
    t0 = time.perf_counter()
    assert nn.check_proof(2000, clauses[:10], [(True, c) for c in clauses], apply_deletions=False)[2] == n
    assert nn.solve_portfolio(2000, clauses, []) is None
    assert time.perf_counter() - t0 < 10.0
