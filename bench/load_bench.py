#!/usr/bin/env python3
"""Loading a large DIMACS file into a solver, against python-sat.

Writes a random 3-SAT file (1,000,000 clauses by default, ratio 4.26) into a temporary directory, then
times, best of N and interleaved in the same run:

- ours: `ClauseDb.read_dimacs(path)` then `Solver(db.num_vars).add_clauses(db)`;
- the old road: the file parsed in Python, then one `Solver.add_clause` call per clause;
- python-sat: `pysat.formula.CNF(from_file=path)` then `pysat.solvers.Solver(bootstrap_with=cnf)`.

Prints a Markdown table with the times and the ratio ours / python-sat (target: at most 0.5).
"""
from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import time
from pathlib import Path

from common import md_table, read_dimacs, tmpdir

import norvane_native as nn


def write_random_3sat(path: Path, nclauses: int, seed: int = 1):
    nvars = max(3, round(nclauses / 4.26))
    rng = random.Random(seed)
    with open(path, "w") as f:
        f.write(f"c random 3-SAT, seed {seed}\np cnf {nvars} {nclauses}\n")
        lines = []
        for _ in range(nclauses):
            a, b, c = rng.sample(range(1, nvars + 1), 3)
            lines.append(f"{a if rng.random() < 0.5 else -a} {b if rng.random() < 0.5 else -b} "
                         f"{c if rng.random() < 0.5 else -c} 0\n")
            if len(lines) == 100_000:
                f.writelines(lines)
                lines.clear()
        f.writelines(lines)
    return nvars


def ours(path):
    db = nn.ClauseDb()
    db.read_dimacs(path)
    s = nn.Solver(db.num_vars)
    s.add_clauses(db)
    return s


def old_road(path):
    nvars, clauses = read_dimacs(Path(path))
    s = nn.Solver(nvars)
    add, fd = s.add_clause, nn.from_dimacs
    for c in clauses:
        add([fd(d) for d in c])
    return s


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="ignored (run_all passes instance filters)")
    ap.add_argument("--clauses", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    try:
        from pysat.formula import CNF
        from pysat.solvers import Solver as PySat
    except ImportError:
        CNF = PySat = None
        print("python-sat not installed (pip install '.[bench]'): baseline skipped", file=sys.stderr)

    tmp = tmpdir()
    try:
        path = Path(tmp) / "random3sat.cnf"
        nvars = write_random_3sat(path, args.clauses)
        size_mb = os.path.getsize(path) / 2**20

        def pysat(p):
            cnf = CNF(from_file=p)
            s = PySat(bootstrap_with=cnf)
            s.delete()

        runs = {"ours": ours, "old": old_road, "pysat": pysat if PySat else None}
        best = {k: float("inf") for k, f in runs.items() if f}
        for _ in range(args.repeat):
            for k in best:
                t0 = time.perf_counter()
                runs[k](str(path))
                best[k] = min(best[k], time.perf_counter() - t0)
        ref = best.get("pysat")
        rows = [["`ClauseDb.read_dimacs` + `Solver.add_clauses(db)`", f"{best['ours']:.3f}",
                 f"{best['ours'] / ref:.3f}" if ref else "-"],
                ["Python parse + `Solver.add_clause` per clause", f"{best['old']:.3f}",
                 f"{best['old'] / ref:.3f}" if ref else "-"]]
        if ref:
            rows.append(["python-sat `CNF(from_file)` + `Solver(bootstrap_with=...)`", f"{ref:.3f}", "1.000"])
        print(f"Random 3-SAT file: {nvars} variables, {args.clauses} clauses, {size_mb:.1f} MiB; best of "
              f"{args.repeat}, interleaved.\n")
        print(md_table(["load", "seconds", "ratio to python-sat"], rows))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
