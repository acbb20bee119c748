#!/usr/bin/env python3
"""Loading a DIMACS file into a solver through the package, in-process: norvane against python-sat.

norvane: `CNF.from_file(path)` then `Solver(cnf)`; python-sat: `CNF(from_file=path)` then
`Solver(name=..., bootstrap_with=cnf.clauses)`.  Both read the same plain file and stop before
solving.  Best of three runs each, on the bench set's instances and on a generated file of
1,000,000 random 3-literal clauses.
"""
from __future__ import annotations

import argparse
import random
import sys

from common import BENCH, best_of, geomean, instances, machine_facts, md_table, plain_copy, tmpdir

import norvane


def generated(tmp, nclauses=1_000_000, nvars=200_000):
    path = f"{tmp}/random-{nclauses}.cnf"
    rng = random.Random(1)
    with open(path, "w") as f:
        f.write(f"p cnf {nvars} {nclauses}\n")
        for _ in range(nclauses):
            a, b, c = rng.sample(range(1, nvars + 1), 3)
            f.write(f"{a * rng.choice((1, -1))} {b * rng.choice((1, -1))} {c * rng.choice((1, -1))} 0\n")
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--pysat", default="m22", help="python-sat solver name (default m22)")
    ap.add_argument("--no-generated", action="store_true")
    args = ap.parse_args(argv)
    try:
        from pysat.formula import CNF as PyCNF
        from pysat.solvers import Solver as PySolver
    except ImportError:
        sys.exit("python-sat not installed (pip install '.[bench]')")
    tmp = tmpdir()
    files = [(r["file"], plain_copy(BENCH / "cnf" / r["file"], tmp)) for r in instances(args.names)]
    if not args.no_generated:
        files.append(("random 1,000,000 clauses", generated(tmp)))

    def ours(path):
        s = norvane.Solver(norvane.CNF.from_file(path))
        n = s.nvars
        s.close()
        return n

    def theirs(path):
        with PySolver(name=args.pysat, bootstrap_with=PyCNF(from_file=path).clauses) as s:
            return s.nof_vars()

    rows, ratios = [], []
    for name, path in files:
        t_ours, _ = best_of(lambda: ours(path))
        t_theirs, _ = best_of(lambda: theirs(path))
        ratios.append(t_ours / t_theirs)
        rows.append([name, f"{t_ours * 1000:.1f}", f"{t_theirs * 1000:.1f}", f"{t_ours / t_theirs:.2f}"])
        print(f"{name:28s} {t_ours * 1000:9.1f} ms {t_theirs * 1000:9.1f} ms", file=sys.stderr)
    print(f"Reading a DIMACS file into a solver (no solving), best of 3, python-sat solver {args.pysat} "
          f"({machine_facts()}).\n")
    print(md_table(["instance", "norvane ms", "python-sat ms", "ratio"], rows))
    bench = ratios[:-1] if not args.no_generated else ratios
    print(f"\nBench set: time ratio {geomean(bench):.2f} (geometric mean), norvane slower on "
          f"{sum(1 for r in bench if r > 1)} of {len(bench)}.")
    if not args.no_generated:
        print(f"1,000,000-clause file: ratio {ratios[-1]:.2f}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
