#!/usr/bin/env python3
"""Cost of the preprocessor's proof log: Preprocessor.run(3) on every instance of the shared set,
without a proof, with the proof kept in memory, and written to a file as DRAT text and as binary DRAT
(best of --repeat runs each, clauses loaded beforehand, the four measured side by side in the same
run).  Times are the process's CPU time (user and system, so the writes count): on a machine shared
with other work, wall time mostly measures the others.  Prints a table with the file sizes and the geometric mean of each time over the time without
a proof.
"""
from __future__ import annotations

import argparse
import os
import sys
import time

from common import geomean, instances, load, md_table, tmpdir

import norvane_native as nn

MODES = ["none", "memory", "text file", "binary file"]


def timed_run(nvars, clauses, mode, path):
    kw = {}
    if mode == "memory":
        kw = dict(with_proof=True)
    elif mode != "none":
        kw = dict(proof_path=path, proof_binary=mode == "binary file")
    pre = nn.Preprocessor(nvars, **kw)
    pre.add_clauses(clauses)
    t0 = time.process_time()
    pre.run(3)
    t = time.process_time() - t0
    steps = len(pre.proof_steps()) if mode == "memory" else None
    del pre  # closes the file
    return t, steps


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    path = os.path.join(tmpdir(), "pre.drat")
    rows, ratios = [], {m: [] for m in MODES[1:]}
    for row in instances(args.names):
        _, nvars, _, clauses = load(row)
        best, sizes, steps = {}, {}, 0
        for _ in range(args.repeat):
            for mode in MODES:  # interleaved, so that machine noise falls on every mode alike
                t, n = timed_run(nvars, clauses, mode, path)
                best[mode] = min(best.get(mode, t), t)
                steps = n if n is not None else steps
                if mode.endswith("file"):
                    sizes[mode] = os.path.getsize(path)
        for m in MODES[1:]:
            if best["none"] >= 0.001:
                ratios[m].append(best[m] / best["none"])
        rows.append([row["file"], steps] + [f"{best[m] * 1e3:.1f}" for m in MODES] +
                    [f"{sizes['text file'] / 1e6:.2f}", f"{sizes['binary file'] / 1e6:.2f}"])
        print(f"  {row['file']}: " + ", ".join(f"{m} {best[m] * 1e3:.1f} ms" for m in MODES), file=sys.stderr,
              flush=True)
    print(md_table(["instance", "steps"] + [f"{m} ms" for m in MODES] + ["text MB", "binary MB"], rows))
    print("\ngeometric mean over no proof, instances of 1 ms or more (" + str(len(ratios["memory"])) + "): " +
          ", ".join(f"{m} {geomean(r):.3f}" for m, r in ratios.items()))


if __name__ == "__main__":
    main()
