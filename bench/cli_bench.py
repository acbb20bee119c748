#!/usr/bin/env python3
"""The `norvane` command against the minisat and cadical binaries: whole process against whole
process (start-up, reading, solving, printing), on the same decompressed files, in one run.

Per instance: wall time of `norvane solve -q FILE` (one uninterrupted search), of `norvane solve
FILE` (the default, with progress slices), of `minisat FILE` and of `cadical -q FILE`; each answer is
checked against MANIFEST.tsv (norvane also checks its own models).  Summary: totals, the geometric
mean of per-instance ratios, wins, and a log-log scatter of per-instance times against each
baseline with the diagonal (bench/cli_times.png, with matplotlib).
"""
from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

from common import BENCH, geomean, instances, machine_facts, md_table, plain_copy, pyplot, tmpdir

HERE = Path(__file__).resolve().parent
EXPECT = {"SAT": 10, "UNSAT": 20}


def wall(cmd, timeout):
    """(seconds, exit code) of one process; (inf, None) on timeout."""
    t0 = time.perf_counter()
    try:
        p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return float("inf"), None
    return time.perf_counter() - t0, p.returncode


def plot(rows, out):
    plt = pyplot()
    if plt is None:
        return False
    fig, ax = plt.subplots(figsize=(6, 6))
    finite = [r[k] for r in rows for k in ("norvane", "minisat", "cadical") if r.get(k, float("inf")) < float("inf")]
    lo, hi = min(finite) * 0.8, max(finite) * 1.25
    for key, marker in (("minisat", "o"), ("cadical", "^")):
        pts = [(r[key], r["norvane"]) for r in rows if key in r]
        if pts:
            ax.scatter([p[0] for p in pts], [p[1] for p in pts], marker=marker, alpha=0.7, label=f"vs {key}")
    ax.plot([lo, hi], [lo, hi], "k--", linewidth=1, label="same time")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(lo, hi)
    ax.set_ylim(lo, hi)
    ax.set_xlabel("baseline binary, wall seconds (whole process)")
    ax.set_ylabel("norvane solve -q, wall seconds (whole process)")
    ax.set_title("Per instance: below the diagonal norvane is faster")
    ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--plot", default=str(HERE / "cli_times.png"))
    args = ap.parse_args(argv)
    norvane = shutil.which("norvane")
    if not norvane:
        sys.exit("the norvane command is not installed (pip install .)")
    baselines = {"minisat": shutil.which("minisat"), "cadical": shutil.which("cadical")}
    tmp = tmpdir()
    rows, failures = [], []
    for row in instances(args.names):
        plain = plain_copy(BENCH / "cnf" / row["file"], tmp)
        want = EXPECT[row["expected"]]
        r = {"file": row["file"]}
        for key, cmd in (("norvane", [norvane, "solve", "-q", plain]), ("default", [norvane, "solve", plain]),
                         ("minisat", [baselines["minisat"], "-verb=0", plain]),
                         ("cadical", [baselines["cadical"], "-q", plain])):
            if cmd[0] is None:
                continue
            t, code = wall(cmd, args.timeout)
            if code is not None and code != want:
                failures.append(f"{key} {row['file']}: exit {code}, expected {want}")
            r[key] = t
        rows.append(r)
        print(f"{row['file']:28s} " + " ".join(f"{k} {v:7.3f}" for k, v in r.items() if k != "file"),
              file=sys.stderr)

    print(f"Whole-process wall time, `norvane solve -q` against the binaries, {len(rows)} instances, "
          f"timeout {args.timeout:.0f} s ({machine_facts()}).\n")
    table = []
    for key in ("minisat", "cadical"):
        both = [r for r in rows if key in r]
        if not both:
            continue
        ratios = [r["norvane"] / r[key] for r in both if r[key] > 0]
        table.append([key, f"{sum(r['norvane'] for r in both):.2f}", f"{sum(r[key] for r in both):.2f}",
                      f"{geomean(ratios):.2f}", f"{sum(1 for r in both if r['norvane'] < r[key])} of {len(both)}"])
        hard = [r for r in both if r[key] >= 0.5]
        if hard:
            table.append([f"{key}, instances it needs >= 0.5 s for ({len(hard)})",
                          f"{sum(r['norvane'] for r in hard):.2f}", f"{sum(r[key] for r in hard):.2f}",
                          f"{geomean([r['norvane'] / r[key] for r in hard]):.2f}",
                          f"{sum(1 for r in hard if r['norvane'] < r[key])} of {len(hard)}"])
    print(md_table(["baseline", "norvane total s", "baseline total s", "time ratio (geo. mean)", "norvane faster on"],
                   table))
    print(f"\nThe default `norvane solve` (progress slices): {sum(r['default'] for r in rows):.2f} s in total; "
          f"start-up of the command alone: {wall([norvane, '--version'], 30)[0] * 1000:.0f} ms.")
    if failures:
        print("\nWRONG ANSWERS:\n" + "\n".join(failures))
    if args.plot and plot(rows, args.plot):
        print(f"\n![norvane against the binaries]({Path(args.plot).name})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
