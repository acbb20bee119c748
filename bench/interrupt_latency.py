"""How fast the long calls stop: Ctrl-C latency and deadline overshoot.

Interrupt latency: each of the four long calls (Solver.solve, Preprocessor.run, check_proof,
solve_portfolio) runs in a child process on an input that takes tens of seconds; the parent sends
SIGINT once the call has started and measures, on the shared monotonic clock, how long the child
takes to catch KeyboardInterrupt.  A call that the installed build cannot interrupt raises only
after it has returned; the table says so.

Deadline overshoot: solve(seconds=0.5) and solve_portfolio(seconds=0.5) with option values that
make single passes long (a walk of a billion flips, a large formula); the figure
is the wall time past the 0.5 s.

    python3 bench/interrupt_latency.py [--repeat N] [--delay S]
"""
from __future__ import annotations

import argparse
import json
import signal
import statistics
import subprocess
import sys
import time

from common import machine_facts, md_table

PRELUDE = r"""
import inspect, json, random, signal, sys, time
import norvane_native as nn

signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored

def pigeonhole(holes):
    cls = [[2 * (p * holes + h) for h in range(holes)] for p in range(holes + 1)]
    cls += [[2 * (p * holes + h) + 1, 2 * (q * holes + h) + 1]
            for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    return (holes + 1) * holes, cls

def random_3sat(nvars, ratio, seed):
    rng = random.Random(seed)
    for _ in range(int(ratio * nvars)):
        yield [2 * v + rng.randrange(2) for v in rng.sample(range(nvars), 3)]

# Every search option at its default, from the constructor's signature (any build has one).
CONFIG = {p.name: p.default for p in list(inspect.signature(nn.Solver).parameters.values())[1:]}
"""

CHILD = PRELUDE + r"""
what = sys.argv[1]
if what in ("solve", "solve_portfolio"):
    nvars, clauses = pigeonhole(11)  # 12 pigeons, 11 holes: minutes of search
    if what == "solve":
        s = nn.Solver(nvars)
        for c in clauses:
            s.add_clause(c)
        call = s.solve
    else:
        configs = [CONFIG, dict(CONFIG, restart="glucose", target_phase=False)]
        call = lambda: nn.solve_portfolio(nvars, clauses, configs)
elif what == "check_proof":
    nvars, clauses = pigeonhole(9)  # its proof takes tens of seconds to check
    s = nn.Solver(nvars)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    assert s.solve() is False
    steps = [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in s.proof_steps()]
    call = lambda: nn.check_proof(nvars, clauses, steps)
else:  # Preprocessor.run on a large random 3-SAT formula
    nvars = 1_500_000
    p = nn.Preprocessor(nvars)
    for c in random_3sat(nvars, 3.2, 7):
        p.add_clause(c)
    call = p.run
# Whether the native call itself raised, or returned with the signal still pending.
ends = []
def watch(frame, event, arg):
    if event in ("c_return", "c_exception") and getattr(arg, "__name__", "") in NAMES:
        ends.append(event)
NAMES = {"solve", "run", "check_proof", "solve_portfolio"}
print("go", flush=True)
sys.setprofile(watch)
try:
    call()
    sys.setprofile(None)
    print(json.dumps({"returned": time.monotonic()}), flush=True)
except KeyboardInterrupt:
    caught = time.monotonic()
    sys.setprofile(None)
    print(json.dumps({"caught": caught, "by_call": ends[-1:] == ["c_exception"]}), flush=True)
"""

CALLS = ["solve", "Preprocessor.run", "check_proof", "solve_portfolio"]


def latency(call, delay):
    """(seconds from SIGINT to KeyboardInterrupt, whether the call itself raised it)."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "go"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline()
        child.wait(timeout=600)
    finally:
        child.kill()
    r = json.loads(line)
    if "caught" not in r:
        return None, False  # finished before the signal
    return r["caught"] - sent, r["by_call"]


OVERSHOOT = PRELUDE + r"""
kind, opts = sys.argv[1], json.loads(sys.argv[2])
if opts.pop("large", False):
    nvars, clauses = 400_000, list(random_3sat(400_000, 4.2, 3))
else:
    nvars, clauses = pigeonhole(11)
t = time.perf_counter()
if kind == "solve":
    s = nn.Solver(nvars, **opts)
    for c in clauses:
        s.add_clause(c)
    t = time.perf_counter()
    r = s.solve(seconds=0.5)
else:
    r = nn.solve_portfolio(nvars, clauses, [dict(CONFIG, **opts)] * 2, seconds=0.5)[2]
print(json.dumps([r, time.perf_counter() - t - 0.5]))
"""

OPTIONS = [
    ("defaults", {}),
    ("walk of 10^9 flips from the first restart", dict(walk_flips=10**9, walk_min_conflicts=0)),
    ("large formula (400k variables, 1.7M clauses)", dict(large=True)),
]


def overshoot(kind, opts):
    """(answer, seconds past the limit) of one call with seconds=0.5."""
    out = subprocess.run([sys.executable, "-c", OVERSHOOT, kind, json.dumps(opts)], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--delay", type=float, default=2.0, help="seconds between the call's start and the signal")
    args = ap.parse_args()
    print(machine_facts())
    rows = []
    for call in CALLS:
        runs = [latency(call, args.delay) for _ in range(args.repeat)]
        lat = [t for t, _ in runs if t is not None]
        by_call = all(b for _, b in runs)
        if not lat:
            rows.append([call, "finished before the signal", ""])
            continue
        how = "KeyboardInterrupt from the call" if by_call else "not interruptible in this build: raised after it returned"
        rows.append([call, f"{statistics.median(lat) * 1000:.0f} ms (max {max(lat) * 1000:.0f})", how])
    print("\nInterrupt latency, SIGINT to KeyboardInterrupt (median of %d)\n" % args.repeat)
    print(md_table(["call", "latency", ""], rows))
    rows = []
    for label, opts in OPTIONS:
        cells = [label]
        for kind in ("solve", "solve_portfolio"):
            over = [overshoot(kind, dict(opts)) for _ in range(args.repeat)]
            worst = max(o for _, o in over)
            answers = {str(r) for r, _ in over}
            cells.append(f"{worst * 1000:.0f} ms (answer {'/'.join(sorted(answers))})")
        rows.append(cells)
    print("\nDeadline overshoot past seconds=0.5 (worst of %d)\n" % args.repeat)
    print(md_table(["options", "Solver.solve", "solve_portfolio (2 workers)"], rows))


if __name__ == "__main__":
    main()
