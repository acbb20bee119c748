#!/usr/bin/env python3
"""Solve every instance of the shared set with the default options.

Per instance: the answer (checked against MANIFEST.tsv; models are checked against the formula), the
solve time, conflicts and propagations per second, and, in the same run, minisat's wall time on the
same (decompressed) file.  Summary: median propagations per second against minisat's, and how
instances minisat solves within 10 s fare.
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time

from common import (geomean, instances, load, md_table, minisat_available, minisat_props_per_sec, plain_copy,
                    run_minisat, tmpdir)

import norvane_native as nn


def solve_one(nvars, clauses, timeout):
    s = nn.Solver(nvars)
    for c in clauses:
        s.add_clause(c)
    t0 = time.perf_counter()
    ans = s.solve(seconds=timeout)
    return time.perf_counter() - t0, ans, s


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--no-minisat", action="store_true")
    args = ap.parse_args(argv)
    tmp = tmpdir()
    rows, pps_ours, pps_ms, failures, slow = [], [], [], [], []
    have_minisat = minisat_available(not args.no_minisat)
    for row in instances(args.names):
        path, nvars, dimacs, clauses = load(row)
        t, ans, s = solve_one(nvars, clauses, args.timeout)
        expected = {"SAT": True, "UNSAT": False}[row["expected"]]
        answer = {True: "SAT", False: "UNSAT", None: "timeout"}[ans]
        if ans is True:
            m = s.model
            if not all(any((d > 0) == m[abs(d) - 1] for d in c) for c in dimacs):
                answer = "BAD MODEL"
        if ans is not None and (ans != expected or answer == "BAD MODEL"):
            failures.append(row["file"])
        pps = s.propagations / t if t > 0 else float("nan")
        pps_ours.append(pps)
        ms_cell, ms_pps_cell = "-", "-"
        if have_minisat:
            r = run_minisat(plain_copy(path, tmp), timeout=args.timeout, extra=("-verb=1",))
            if r:
                ms_t, code, out = r
                ms_cell = f"{ms_t:.3f}"
                mp = minisat_props_per_sec(out)
                if mp:
                    pps_ms.append(mp)
                    ms_pps_cell = f"{mp / 1e6:.2f}"
                if ms_t <= 10 and (ans is None or t > 60):
                    slow.append(row["file"])
        rows.append([row["file"], row["expected"], answer, f"{t:.3f}", ms_cell, s.conflicts,
                     f"{pps / 1e6:.2f}", ms_pps_cell])
        print(f"  {row['file']}: {answer} {t:.3f}s", file=sys.stderr, flush=True)
    print(md_table(["instance", "expected", "answer", "time s", "minisat s", "conflicts", "Mprops/s",
                    "minisat Mprops/s"], rows))
    print()
    print(f"answers wrong: {len(failures)} {failures}")
    med = statistics.median(pps_ours)
    print(f"median propagations/s: ours {med / 1e6:.2f} M", end="")
    if pps_ms:
        mm = statistics.median(pps_ms)
        print(f", minisat {mm / 1e6:.2f} M, ratio {med / mm:.2f}")
        print(f"instances minisat solves within 10 s that we do not solve within 60 s: {len(slow)} {slow}")
    else:
        print()
    total = sum(float(r[3]) for r in rows)
    print(f"total solve time {total:.2f} s; geometric mean of per-instance times {geomean([float(r[3]) for r in rows]):.4f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
