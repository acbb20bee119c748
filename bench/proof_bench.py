#!/usr/bin/env python3
"""What a proof costs: solve time without a proof, with a proof in memory, and with a proof written to a
DRAT text file and to a binary DRAT file; and the memory an in-memory proof takes per literal.

For every instance of the shared set (best of N, the four modes interleaved in the same run), one solver
per run: `Solver(db.num_vars)`, `enable_proof(...)` as the mode says, `add_clauses(db)`, then `solve()`
is timed (it includes writing the file out at its end).  The in-memory proof is kept in the binary DRAT
encoding, so its size is exactly the size of the binary proof file, which is what is reported; its
buffer grows by doubling, so the memory held is at most twice that (the "capacity" column).
"""
from __future__ import annotations

import argparse
import lzma
import os
import shutil
import time

from common import BENCH, geomean, instances, md_table, tmpdir

import norvane_native as nn

MODES = ["none", "memory", "text", "binary"]


def run(db, mode, tmp):
    s = nn.Solver(db.num_vars)
    path = os.path.join(tmp, f"proof.{mode}")
    if mode == "memory":
        s.enable_proof()
    elif mode != "none":
        s.enable_proof(path, binary=mode == "binary")
    s.add_clauses(db)
    t0 = time.perf_counter()
    answer = s.solve()
    took = time.perf_counter() - t0
    return took, answer, s, path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="substrings of instance names (default: all)")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    tmp = tmpdir()
    rows, totals = [], dict.fromkeys(MODES, 0.0)
    ratios = {m: [] for m in MODES[1:]}
    all_lits = all_bytes = 0
    try:
        for row in instances(args.names):
            db = nn.ClauseDb()
            db.parse_dimacs(lzma.open(BENCH / "cnf" / row["file"]).read(), name=row["file"])
            best = dict.fromkeys(MODES, float("inf"))
            for _ in range(args.repeat):
                for mode in MODES:
                    took, answer, s, path = run(db, mode, tmp)
                    best[mode] = min(best[mode], took)
                    if mode == "memory":
                        steps = s.proof_steps()
                    elif mode == "binary":
                        del s  # releasing the solver closes the file
                        encoded = os.path.getsize(path)
            lits = sum(len(l) for _, l in steps)
            all_lits += lits
            all_bytes += encoded
            for m in MODES:
                totals[m] += best[m]
            if best["none"] >= 0.005:
                for m in MODES[1:]:
                    ratios[m].append(best[m] / best["none"])
            cap = 1 << max(encoded - 1, 0).bit_length() if encoded else 0
            rows.append([row["file"], row["expected"], len(steps), lits,
                         f"{encoded / lits:.2f}" if lits else "-", f"{cap / lits:.2f}" if lits else "-"]
                        + [f"{best[m]:.3f}" for m in MODES])
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(md_table(["instance", "expected", "steps", "literals", "bytes/literal", "capacity/literal",
                    "no proof s", "memory s", "text file s", "binary file s"], rows))
    print()
    print(f"in-memory proofs over the whole set: {all_bytes} bytes for {all_lits} literals, "
          f"{all_bytes / max(all_lits, 1):.2f} bytes per literal (at most twice that held while it grows)")
    print("total solve time: " + ", ".join(f"{m} {totals[m]:.2f} s" for m in MODES))
    print("geometric mean of time / time without a proof (instances taking 5 ms or more without one): "
          + ", ".join(f"{m} {geomean(v):.3f}" for m, v in ratios.items()))


if __name__ == "__main__":
    main()
