#!/usr/bin/env python3
"""Incremental solving: searches under assumptions against the plain search, cores, propagate.

Per instance, in one run (best of --repeat):
- plain: `solve()` on the formula;
- empty: `solve(assumptions=[])` (the same search: the ratio is the cost of the argument alone);
- activated: every clause C stored as C or not a_i with a fresh a_i, solved under all a_i: one
  assumption level per clause, the pattern of core-guided MaxSAT and MUS extraction; the core
  (Unsat instances) is given as a share of the clauses;
- cube: solved under the first 10 literals of the plain model (Sat instances);
- propagate: `propagate([l])` for each literal of the first 200 variables, microseconds per call
  (best pass).
With python-sat installed, its minisat22 solves the activated formula under the same assumptions.
"""
from __future__ import annotations

import argparse
import sys
import time

from common import geomean, instances, load, md_table

import norvane_native as nn

DEFAULT = ["uf250-01", "uuf150-020", "flat200-1", "bw_large.b", "bmc-ibm-2", "hole7", "php-8", "ii16a1",
           "qg4-08", "bf1355-075", "ssa7552-038", "par16-1-c", "dubois20", "pret150_40"]


def solver(nvars, clauses):
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    return s


def timed_solve(nvars, clauses, repeat, **kw):
    """(best solve time of `repeat` fresh solvers, answer, last solver)."""
    best = float("inf")
    for _ in range(repeat):
        s = solver(nvars, clauses)
        t0 = time.perf_counter()
        ans = s.solve(**kw)
        best = min(best, time.perf_counter() - t0)
    return best, ans, s


def activated(nvars, clauses):
    """(clauses with activation literals, the assumptions switching them on)."""
    acts = [2 * (nvars + i) for i in range(len(clauses))]
    return [c + [a ^ 1] for c, a in zip(clauses, acts)], acts


def pysat_activated(nvars, clauses):
    try:
        from pysat.solvers import Solver as PySat
    except ImportError:
        return None
    cls, acts = activated(nvars, clauses)
    dimacs = [[(l >> 1) + 1 if l % 2 == 0 else -((l >> 1) + 1) for l in c] for c in cls]
    with PySat(name="minisat22", bootstrap_with=dimacs) as s:
        t0 = time.perf_counter()
        s.solve(assumptions=[(a >> 1) + 1 for a in acts])
        return time.perf_counter() - t0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    rows, r_empty, r_act, r_cube, r_pysat = [], [], [], [], []
    rows_in = instances(args.names) if args.names else \
        [r for r in instances() if r["file"].split(".cnf")[0] in DEFAULT]
    for row in rows_in:
        path, nvars, dimacs, clauses = load(row)
        t_plain, ans, s = timed_solve(nvars, clauses, args.repeat)
        t_empty, e_ans, e_s = timed_solve(nvars, clauses, args.repeat, assumptions=[])
        assert e_ans == ans and e_s.conflicts == s.conflicts
        model = s.model
        cls, acts = activated(nvars, clauses)
        t_act, a_ans, a_s = timed_solve(nvars + len(clauses), cls, args.repeat, assumptions=acts)
        assert a_ans == ans, (row["file"], ans, a_ans)
        core = f"{len(a_s.core()) / len(clauses):.0%}" if ans is False else ""
        t_cube = ""
        if ans:
            cube = [2 * v + (not model[v]) for v in range(min(10, nvars))]
            tc, c_ans, _ = timed_solve(nvars, clauses, args.repeat, assumptions=cube)
            assert c_ans is True
            t_cube = f"{tc * 1e3:.1f}"
            r_cube.append(tc / t_plain)
        probe = solver(nvars, clauses)
        lits = list(range(2 * min(200, nvars)))
        t_prop = float("inf")
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            implied = sum(len(probe.propagate([l])[1]) for l in lits)
            t_prop = min(t_prop, (time.perf_counter() - t0) / len(lits))
        t_py = pysat_activated(nvars, clauses)
        r_empty.append(t_empty / t_plain)
        r_act.append(t_act / t_plain)
        if t_py:
            r_pysat.append(t_act / t_py)
        rows.append([row["file"], row["expected"], f"{t_plain * 1e3:.1f}", f"{t_empty / t_plain:.2f}",
                     f"{t_act * 1e3:.1f}", f"{t_act / t_plain:.2f}", a_s.conflicts, s.conflicts, core, t_cube,
                     f"{t_prop * 1e6:.1f}", f"{implied / len(lits):.1f}",
                     f"{t_py * 1e3:.1f}" if t_py else "-"])
    print(md_table(["instance", "answer", "plain ms", "empty / plain", "activated ms", "activated / plain",
                    "activated conflicts", "plain conflicts", "core share", "cube ms", "propagate us",
                    "implied / call", "python-sat activated ms"], rows))
    print()
    print(f"geometric means: empty / plain {geomean(r_empty):.2f}, activated / plain {geomean(r_act):.2f}"
          + (f", cube / plain {geomean(r_cube):.2f}" if r_cube else "")
          + (f", activated: ours / python-sat minisat22 {geomean(r_pysat):.2f}" if r_pysat else ""))


if __name__ == "__main__":
    sys.exit(main())
