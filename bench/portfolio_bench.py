#!/usr/bin/env python3
"""Racing two configurations against each alone.

For every instance of the shared set, in the same run: the time of configuration A alone, of B alone
(each as a one-worker solve_portfolio, which runs on the calling thread), and of the two-worker
portfolio [A, B].  Reports per instance the portfolio's time against each configuration alone, its
overhead against the faster one, the geometric-mean speedup over the configuration that is fastest on
the whole set, and instances where the portfolio is slower than the slower configuration.

Then two demonstrations: a portfolio of a deliberately slow and a fast configuration returns in about
the fast one's time (the stop flag ends the loser), and two Python threads each calling
solve_portfolio run in parallel (the interpreter lock is released).
"""
from __future__ import annotations

import argparse
import inspect
import sys
import threading
import time

from common import BENCH, geomean, instances, internal, md_table, read_dimacs

import norvane_native as nn

# Every search option at its default, from the constructor's signature.
DEFAULT = {p.name: p.default for p in list(inspect.signature(nn.Solver).parameters.values())[1:]}
CONFIG_A = dict(DEFAULT)
# Target phases (A) against plain saved phases (B): equally strong on the whole set, strong on
# different instances.
CONFIG_B = dict(DEFAULT, target_phase=False)


def timed(nvars, clauses, configs, budget=0.3, most=5):
    """Best time of up to `most` runs (repeated only while the runs are short)."""
    best, spent, runs, r = float("inf"), 0.0, 0, None
    while runs < most and (runs == 0 or spent < budget):
        t0 = time.perf_counter()
        r = nn.solve_portfolio(nvars, clauses, configs)
        t = time.perf_counter() - t0
        best, spent, runs = min(best, t), spent + t, runs + 1
    return best, r


def thread_cost():
    one, _ = timed(1, [], [CONFIG_A], budget=0.05, most=500)
    two, _ = timed(1, [], [CONFIG_A, CONFIG_A], budget=0.05, most=500)
    return two - one


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--min-time", type=float, default=0.0,
                    help="leave out instances where both configurations take less than this (s)")
    args = ap.parse_args(argv)

    rows, ta, tb, tp, slower = [], [], [], [], []
    for row in instances(args.names):
        nvars, dimacs = read_dimacs(BENCH / "cnf" / row["file"])
        clauses = internal(dimacs)
        t_a, ra = timed(nvars, clauses, [CONFIG_A])
        t_b, rb = timed(nvars, clauses, [CONFIG_B])
        t_p, rp = timed(nvars, clauses, [CONFIG_A, CONFIG_B])
        expected = row["expected"] == "SAT"
        assert ra[2] == rb[2] == rp[2] == expected, row["file"]
        if max(t_a, t_b) < args.min_time:
            continue
        ta.append(t_a)
        tb.append(t_b)
        tp.append(t_p)
        fast = min(t_a, t_b)
        if t_p > max(t_a, t_b):
            slower.append(row["file"])
        rows.append([row["file"], f"{t_a:.3f}", f"{t_b:.3f}", f"{t_p:.3f}", "AB"[rp[0]],
                     f"{t_a / t_p:.2f}", f"{t_b / t_p:.2f}", f"{(t_p - fast) * 1e3:+.1f}"])
        print(f"  {row['file']}: A {t_a:.3f} B {t_b:.3f} portfolio {t_p:.3f}", file=sys.stderr, flush=True)

    print(md_table(["instance", "A s", "B s", "A+B s", "winner", "speedup vs A", "speedup vs B",
                    "overhead vs faster (ms)"], rows))
    best_name, best = ("A", ta) if sum(ta) <= sum(tb) else ("B", tb)
    print()
    print("A = default options (target phases); B = default options with target_phase=False (saved phases)")
    print(f"totals: A {sum(ta):.2f} s, B {sum(tb):.2f} s, portfolio {sum(tp):.2f} s")
    print(f"geometric-mean speedup of the portfolio over {best_name} (fastest alone on the whole set): "
          f"{geomean([b / p for b, p in zip(best, tp)]):.2f} over all {len(tp)} instances; "
          f"{geomean([b / p for a, b_, b, p in zip(ta, tb, best, tp) if max(a, b_) >= 0.01]):.2f} over the "
          f"{sum(max(a, b_) >= 0.01 for a, b_ in zip(ta, tb))} instances where a configuration needs 10 ms or more")
    print(f"starting the two worker threads costs about {thread_cost() * 1e6:.0f} µs (two workers on an empty "
          f"formula against one)")
    print(f"instances where the portfolio is slower than the slower configuration: {len(slower)} {slower}")

    # The stop flag ends the loser: a slow configuration (no restarts, no minimization) and a fast one.
    demo = [r for r in instances(["rand3-n250-s1"])] or instances()[:1]
    nvars, dimacs = read_dimacs(BENCH / "cnf" / demo[0]["file"])
    clauses = internal(dimacs)
    slow_cfg = dict(DEFAULT, restart="none", ccmin="none", target_phase=False)
    t_slow, _ = timed(nvars, clauses, [slow_cfg])
    t_fast, _ = timed(nvars, clauses, [CONFIG_A])
    t_both, r = timed(nvars, clauses, [slow_cfg, CONFIG_A])
    print(f"\nstop flag on {demo[0]['file']}: slow alone {t_slow:.3f} s, fast alone {t_fast:.3f} s, "
          f"portfolio [slow, fast] {t_both:.3f} s (winner worker {r[0]})")

    # Two Python threads, each running a one-worker portfolio, in parallel.
    work = [r for r in instances(["uuf250-01", "uuf250-03"])] or instances()[:2]
    loaded = [read_dimacs(BENCH / "cnf" / w["file"]) for w in work[:2]]
    jobs = [(n, internal(d)) for n, d in loaded]
    t0 = time.perf_counter()
    for n, c in jobs:
        nn.solve_portfolio(n, c, [CONFIG_A])
    serial = time.perf_counter() - t0
    threads = [threading.Thread(target=nn.solve_portfolio, args=(n, c, [CONFIG_A])) for n, c in jobs]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    parallel = time.perf_counter() - t0
    print(f"two Python threads: one after the other {serial:.2f} s, concurrently {parallel:.2f} s "
          f"(ratio {serial / parallel:.2f}; 2.0 is perfect on two free cores)")


if __name__ == "__main__":
    main()
