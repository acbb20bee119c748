"""Ctrl-C, time limits, budgets and stop requests stop long calls soon, leaving them usable; memory running out
is a MemoryError.  Signals and memory caps in subprocesses; loose time bounds (bench/interrupt_latency.py)."""
import json
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import norvane_native as nn
from conftest import MSG_NO_EMPTY, MSG_OK, SOLVER_PARAMS, UNSANITIZED, pigeonhole, solver, stats, to_steps

TESTS = Path(__file__).resolve().parent
CONFIG = dict(SOLVER_PARAMS[1:])

CTRL_C = r"""
import json, os, random, signal, sys, time
sys.path.insert(0, sys.argv[2])
import norvane_native as nn
from conftest import SOLVER_PARAMS, pigeonhole, solver, to_steps

entry = sys.argv[1]
nvars, php = pigeonhole(11)  # minutes of search
clauses = php + [[2 * nvars, 2 * nvars + 2]]  # two more variables: a or b
config = dict(SOLVER_PARAMS[1:])
s = solver(nvars + 2, clauses)
if entry == "handler":
    signal.signal(signal.SIGINT, lambda *_: s.interrupt())
if entry == "check":
    n = 200_000
    chain = [[2 * i + 1, 2 * i + 2] for i in range(n)]  # x0 -> x1 -> ... -> xn
    steps = [(False, [2 * i + 1, 2 * n]) for i in range(20000)]  # -xi | xn: each needs most of the chain
if entry == "preprocess":
    rng, m = random.Random(5), 100_000
    formula = [[rng.randrange(2 * m) for _ in range(3)] for _ in range(int(3.2 * m))]
    p = nn.Preprocessor(m, with_proof=True)
    p.add_clauses(formula)
calls = {
    "solve": s.solve,
    "solve-release_gil": lambda: s.solve(release_gil=True),
    "handler": s.solve,
    "portfolio-1": lambda: nn.solve_portfolio(nvars, php, [config]),
    "portfolio-2": lambda: nn.solve_portfolio(nvars, php, [config, dict(config, restart="glucose")], want_proof=True),
    "check": lambda: nn.check_proof(n + 1, chain, steps),
    "preprocess": lambda: p.run(3),
}
threads = len(os.listdir("/proc/self/task"))
print("go", flush=True)
try:
    result = calls[entry]()
    caught = None
except KeyboardInterrupt:
    result, caught = "KeyboardInterrupt", time.monotonic()
report = dict(result=result, caught=caught, returned=time.monotonic(),
              threads=len(os.listdir("/proc/self/task")) - threads)
if entry.startswith("solve") or entry == "handler":
    report["invariant"] = s.check_watch_invariant()
    report["state"] = [s.ok, s.model]
    # every step recorded so far verifies; a later budgeted solve goes on; the answer is right
    report["proof"] = nn.check_proof(nvars + 2, clauses, to_steps(s.proof_steps()))[:2]
    c = s.conflicts
    report["later"] = [s.solve(max_conflicts=200), s.conflicts - c >= 200, s.check_watch_invariant()]
    report["answer"] = [s.add_clause([2 * nvars + 1]), s.add_clause([2 * nvars + 3]), s.solve()]
elif entry == "check":
    report["later"] = nn.check_proof(2, [[0, 2], [0, 3], [1, 2], [1, 3]], b"2 0 0")[0]
elif entry == "preprocess":  # a later run finishes what the interrupted one began
    before = len(p.proof_steps())
    report["later"] = [p.run(3), len(p.proof_steps()) >= before, len(p.reduced()) < len(formula)]
else:
    report["later"] = nn.solve_portfolio(6, [[0, 2], [1, 2], [5]], [config, config])[2]
print(json.dumps(report), flush=True)
"""


@pytest.mark.parametrize("entry", ["solve", "solve-release_gil", "handler", "portfolio-1", "portfolio-2", "check",
                                   "preprocess"])
def test_ctrl_c_stops_a_long_call_soon_and_leaves_it_usable(entry):
    child = subprocess.Popen([sys.executable, "-c", CTRL_C, entry, str(TESTS)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "go", child.stderr.read()[-3000:]
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err[-3000:]
    r = json.loads(out)
    latency = (r["caught"] or r["returned"]) - sent
    # a SIGINT handler that calls interrupt() makes solve() return None instead of raising
    assert r["result"] == (None if entry == "handler" else "KeyboardInterrupt")
    assert latency < (1.0 if entry.startswith(("check", "pre")) else 3.0), latency  # measured: milliseconds
    assert r["threads"] == 0  # every worker joined before the exception
    if not entry.startswith(("solve", "handler")):
        assert r["later"] in (True, [True, True, True])
        return
    assert [r["invariant"], r["state"], r["proof"], r["later"], r["answer"]] == \
        [[], [True, []], [False, MSG_NO_EMPTY], [None, True, []], [True, False, False]]


def refusal(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)


def test_stop_requests_from_another_thread():
    # a request made before the search is dropped (with the lock released or not, the same search)
    nvars, clauses = pigeonhole(6)
    plain, asked = solver(nvars, clauses), solver(nvars, clauses)
    asked.interrupt()
    assert asked.solve(max_conflicts=300, release_gil=True) is plain.solve(max_conflicts=300) is None
    asked.interrupt()
    assert asked.solve(release_gil=True) is plain.solve() is False
    assert stats(asked) == stats(plain) and asked.proof_steps() == plain.proof_steps()
    # a busy solver refuses other threads (this one runs while the search does) but takes a stop request
    nvars, clauses = pigeonhole(9)  # a second or more of search
    s, result = solver(nvars, clauses), []
    worker = threading.Thread(target=lambda: result.append(s.solve(release_gil=True)))
    worker.start()
    try:
        deadline = time.monotonic() + 30
        while refusal(lambda: s.conflicts) is None:
            assert time.monotonic() < deadline, "the search never showed up as busy"
            time.sleep(0.001)
        assert [refusal(c) for c in (s.check_watch_invariant, lambda: s.add_clause([0]), s.solve, s.enable_proof)] \
            == ["Already mutably borrowed"] + ["Already borrowed"] * 3
    finally:
        t = time.monotonic()
        s.interrupt()  # takes no access: works on the busy object
        worker.join(30)
    assert time.monotonic() - t < 3.0 and result == [None] and s.conflicts > 0
    assert s.check_watch_invariant() == []
    # finished after the interruption: the whole proof checks
    assert s.solve() is False and nn.check_proof(nvars, clauses, to_steps(s.proof_steps()))[:2] == (True, MSG_OK)


@pytest.mark.parametrize("options", [{}, dict(walk_flips=10**9, walk_min_conflicts=0, luby_base=10.0),
                                     dict(first_reduce=0, reduce_inc=0, glue_keep=0)],
                         ids=["defaults", "walk", "reduce"])
def test_time_limit_holds_inside_long_passes(options):
    nvars, clauses = pigeonhole(11)
    s = solver(nvars, clauses, proof=False, **options)
    t = time.perf_counter()
    assert s.solve(seconds=0.3) is None
    assert time.perf_counter() - t < 0.3 + 1.5 and s.check_watch_invariant() == []
    t = time.perf_counter()
    res = nn.solve_portfolio(nvars, clauses, [dict(CONFIG, **options)] * 2, seconds=0.3)
    assert time.perf_counter() - t < 0.3 + 1.5
    assert res[:4] == (-1, 0, None, []) and res[8] == [] and res[4] > 0


@pytest.mark.parametrize("nconfigs", [1, 2])
def test_portfolio_budget_without_answer_adds_up_the_workers(nconfigs):
    nvars, clauses = pigeonhole(8)
    configs = [CONFIG, dict(CONFIG, restart="glucose", ccmin="basic", target_phase=False)][:nconfigs]
    res = nn.solve_portfolio(nvars, clauses, configs, want_proof=True, max_conflicts=150)
    alone = [solver(nvars, clauses, proof=False, **c) for c in configs]
    assert all(s.solve(max_conflicts=150) is None for s in alone)
    totals = [sum(getattr(s, k) for s in alone) for k in ("conflicts", "decisions", "propagations", "restarts")]
    assert res == (-1, 0, None, [], *totals, [])


OUT_OF_MEMORY = r"""
import ctypes, resource, sys, threading
import norvane_native as nn

libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
held, result = (ctypes.c_void_p * (1 << 20))(), []

def body():
    nn.neg(2)  # an ordinary first call on this thread, while memory is plentiful
    count, size = 0, 1 << 26
    try:  # every byte malloc can still give, down to 16-byte pieces
        while size >= 16 and count < len(held):
            p = libc.malloc(size)
            if p is None:
                size //= 2
            else:
                held[count], count = p, count + 1
    except MemoryError:
        pass
    try:
        nn.Solver(100000)
        result.append("no error")
    except MemoryError:
        result.append("MemoryError")
    for i in range(count):
        libc.free(held[i])

resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
if sys.argv[1] == "thread":
    t = threading.Thread(target=body)
    t.start()
    t.join()
else:
    body()
print(result[0])
"""


@UNSANITIZED
@pytest.mark.parametrize("where", ["thread", "main"])
def test_memory_error_in_a_python_thread_does_not_abort(where):  # portfolio workers: tests/native
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, where], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout.strip()) == (0, "MemoryError"), out.stderr[-2000:]
