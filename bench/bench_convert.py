#!/usr/bin/env python3
"""Cost of the Python -> native boundary: loading clause lists.

For every instance of the shared set, the clauses are parsed once into Python lists; then, in the same
run, they are loaded (best of N) into a ClauseDb (one add_dimacs call per clause, and one add_clause
call per clause with internal literals) and into python-sat's Solver(name="m22") with append_formula.
Prints a Markdown table with both times and their ratio.
"""
from __future__ import annotations

import argparse
import sys

from common import BENCH, best_of, geomean, instances, internal, md_table, read_dimacs

import norvane_native as nn


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="substrings of instance names (default: all)")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    try:
        from pysat.solvers import Solver as PySatSolver
    except ImportError:
        PySatSolver = None
        print("python-sat not installed (pip install '.[bench]'): baseline skipped", file=sys.stderr)

    rows, ratios = [], []
    for row in instances(args.names):
        nvars, dimacs = read_dimacs(BENCH / "cnf" / row["file"])
        lits = internal(dimacs)

        def load_dimacs():
            db = nn.ClauseDb(nvars)
            add = db.add_dimacs
            for c in dimacs:
                add(c)
            return db

        def load_internal():
            db = nn.ClauseDb(nvars)
            add = db.add_clause
            for c in lits:
                add(c)
            return db

        t_dim, db = best_of(load_dimacs, args.repeat)
        t_int, _ = best_of(load_internal, args.repeat)
        assert len(db) <= len(dimacs)
        if PySatSolver:
            def load_pysat():
                s = PySatSolver(name="m22")
                s.append_formula(dimacs)
                s.delete()
            t_ps, _ = best_of(load_pysat, args.repeat)
            ratio = t_dim / t_ps
            ratios.append(ratio)
            rows.append([row["file"], len(dimacs), f"{t_dim * 1e3:.2f}", f"{t_int * 1e3:.2f}", f"{t_ps * 1e3:.2f}",
                         f"{ratio:.2f}"])
        else:
            rows.append([row["file"], len(dimacs), f"{t_dim * 1e3:.2f}", f"{t_int * 1e3:.2f}", "-", "-"])
    print(md_table(["instance", "clauses", "ClauseDb add_dimacs ms", "ClauseDb add_clause ms",
                    "python-sat m22 ms", "ratio (ours/pysat)"], rows))
    if ratios:
        print(f"\ngeometric mean ratio {geomean(ratios):.2f}, worst {max(ratios):.2f}, "
              f"instances slower than python-sat: {sum(r > 1 for r in ratios)} of {len(ratios)}")


if __name__ == "__main__":
    main()
