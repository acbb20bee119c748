#!/usr/bin/env python3
"""Preprocessor speed and effect on every instance of the shared set.

Per instance: time of Preprocessor.run(3) (clauses already loaded), clauses and variables before and
after, eliminated variables, subsumed and strengthened clauses; beside it, from the same run, minisat's
own simplification time on the same file (printed by minisat with verbosity on).  Target: at most 2x
minisat's simplification time + 50 ms on every instance, none over 10 s.
"""
from __future__ import annotations

import argparse
import re
import sys
import time

from common import instances, load, md_table, minisat_available, plain_copy, run_minisat, tmpdir

import norvane_native as nn


def minisat_simp_time(plain):
    r = run_minisat(plain, timeout=120, extra=("-verb=1",))
    if not r:
        return None
    m = re.search(r"Simplification time:\s*([0-9.]+)", r[2])
    return float(m.group(1)) if m else None


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    tmp = tmpdir()
    rows, misses, over10 = [], [], []
    have_minisat = minisat_available()
    for row in instances(args.names):
        path, nvars, dimacs, clauses = load(row)
        best = None
        for _ in range(args.repeat):
            pre = nn.Preprocessor(nvars)
            for c in clauses:
                pre.add_clause(c)
            t0 = time.perf_counter()
            pre.run(3)
            t = time.perf_counter() - t0
            best = t if best is None else min(best, t)
        reduced = pre.reduced()
        vars_after = len({l >> 1 for c in reduced for l in c})
        vars_before = len({l >> 1 for c in clauses for l in c})
        ms = minisat_simp_time(plain_copy(path, tmp)) if have_minisat else None
        target = None if ms is None else 2 * ms + 0.05
        if target is not None and best > target:
            misses.append(row["file"])
        if best > 10:
            over10.append(row["file"])
        rows.append([row["file"], f"{best * 1e3:.1f}", "-" if ms is None else f"{ms * 1e3:.1f}",
                     "-" if target is None else ("yes" if best <= target else "NO"),
                     f"{len(clauses)} → {len(reduced)}", f"{vars_before} → {vars_after}", pre.eliminated_vars,
                     pre.subsumed, pre.strengthened])
        print(f"  {row['file']}: {best * 1e3:.1f} ms", file=sys.stderr, flush=True)
    print(md_table(["instance", "run(3) ms", "minisat simp ms", "within 2x+50ms", "clauses", "variables",
                    "eliminated", "subsumed", "strengthened"], rows))
    print(f"\ninstances over the target: {len(misses)} {misses}; over 10 s: {len(over10)}")


if __name__ == "__main__":
    main()
