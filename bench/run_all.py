#!/usr/bin/env python3
"""Run every benchmark and write one report: bench/REPORT.md plus bench/solve_times.png.

    python3 bench/run_all.py            # everything (about 10 minutes on two cores)
    python3 bench/run_all.py --quick    # a few instances per benchmark

The plot shows solve times per instance of the shared set, log-log: norvane_native's Solver (default
options) against python-sat's minisat22, glucose4 and cadical153 (solve only, clauses already
loaded, in the same process and run); bench/cli_times.png compares the norvane command with the
minisat and cadical binaries, whole process against whole process.
"""
from __future__ import annotations

import argparse
import datetime
import subprocess
import sys
import time
from pathlib import Path

from common import BENCH, geomean, instances, internal, machine_facts, md_table, plain_copy, read_dimacs, \
    pyplot, run_minisat, tmpdir

import norvane_native as nn

HERE = Path(__file__).resolve().parent
QUICK = ["uf50-01", "uuf100-01", "flat100-1", "hole7", "bw_large.a", "uuf200-01", "qg4-08", "ii16a1"]
PYSAT = [("minisat22", "m22"), ("glucose4", "g4"), ("cadical153", "cd153")]


def run_script(name, args):
    cmd = [sys.executable, str(HERE / name), *args]
    t0 = time.perf_counter()
    p = subprocess.run(cmd, capture_output=True, text=True, cwd=HERE)
    took = time.perf_counter() - t0
    body = p.stdout.strip() or "(no output)"
    if p.returncode != 0:
        body += f"\n\n(exit code {p.returncode})\n```\n{p.stderr[-2000:]}\n```"
    return body, took, " ".join(["python3", f"bench/{name}", *args])


def solve_times(names, timeout):
    try:
        from pysat.solvers import Solver as PySat
    except ImportError:
        PySat = None
        print("python-sat not installed (pip install '.[bench]'): its columns are skipped", file=sys.stderr)
    tmp = tmpdir()
    have_minisat = run_minisat("/dev/null", 5) is not None
    results = []
    for row in instances(names):
        path = BENCH / "cnf" / row["file"]
        nvars, dimacs = read_dimacs(path)
        s = nn.Solver(nvars)
        for c in internal(dimacs):
            s.add_clause(c)
        t0 = time.perf_counter()
        s.solve(seconds=timeout)
        entry = {"file": row["file"], "ours": time.perf_counter() - t0}
        if have_minisat:
            r = run_minisat(plain_copy(path, tmp), timeout=timeout, extra=("-verb=0",))
            entry["minisat"] = r[0] if r else None
        if PySat:
            for label, name in PYSAT:
                try:
                    ps = PySat(name=name, bootstrap_with=dimacs)
                except Exception:  # noqa: BLE001 - a solver missing from this python-sat build
                    continue
                t0 = time.perf_counter()
                ps.solve()
                entry[label] = time.perf_counter() - t0
                ps.delete()
        results.append(entry)
        print(f"  {row['file']}: ours {entry['ours']:.3f}s", file=sys.stderr, flush=True)
    return results


def plot(results, out: Path):
    """Log-log scatter of norvane_native's in-process solve time against each python-sat solver's
    (like with like: clauses loaded, solve call only), with the diagonal."""
    plt = pyplot()
    if plt is None:
        return False
    fig, ax = plt.subplots(figsize=(6.5, 6.5))
    pts = [r[k] for r in results for k in ["ours"] + [l for l, _ in PYSAT] if r.get(k)]
    if not pts:
        return False
    lo, hi = max(min(pts), 1e-5) * 0.8, max(pts) * 1.25
    for (label, _), marker in zip(PYSAT, "^vD"):
        xy = [(r[label], r["ours"]) for r in results if r.get(label) and r.get("ours")]
        if xy:
            ax.scatter([max(x, 1e-5) for x, _ in xy], [max(y, 1e-5) for _, y in xy], marker=marker, alpha=0.7,
                       label=f"vs python-sat {label}")
    ax.plot([lo, hi], [lo, hi], "k--", linewidth=1, label="same time")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(lo, hi)
    ax.set_ylim(lo, hi)
    ax.set_xlabel("python-sat solver, solve call (s)")
    ax.set_ylabel("norvane_native Solver.solve (s)")
    ax.set_title("In-process solve time per instance (below the diagonal: norvane faster)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a few instances per benchmark")
    ap.add_argument("--timeout", type=float, default=60.0)
    args = ap.parse_args(argv)
    sel = QUICK if args.quick else []
    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    sections = []
    for title, script, extra in [
        ("Loading clauses: ClauseDb against python-sat", "bench_convert.py", []),
        ("Loading a 1,000,000-clause DIMACS file, against python-sat", "load_bench.py", []),
        ("What a proof costs: memory per literal, solve time with a proof in memory or in a file",
         "proof_bench.py", []),
        ("Solving with the default options, against minisat", "solve_bench.py", []),
        ("Preprocessing, against minisat's simplification", "preprocess_bench.py", []),
        ("Portfolio of two configurations, against each alone", "portfolio_bench.py", []),
        ("Solving under assumptions, against the plain search", "assumptions_bench.py", []),
        ("The norvane command against the minisat and cadical binaries (whole process)", "cli_bench.py", []),
        ("Loading a file into a solver through the package, against python-sat", "package_load_bench.py", []),
    ]:
        print(f"running {script} ...", file=sys.stderr, flush=True)
        body, took, cmd = run_script(script, extra + sel)
        sections.append(f"## {title}\n\n`{cmd}` ({took:.0f} s)\n\n{body}\n")

    print("timing solvers for the plot ...", file=sys.stderr, flush=True)
    results = solve_times(sel, args.timeout)
    rows, ratios = [], {}
    for r in results:
        rows.append([r["file"]] + [("-" if r.get(k) is None else f"{r[k]:.3f}")
                                   for k in ["ours", "minisat"] + [l for l, _ in PYSAT]])
        for k in ["minisat"] + [l for l, _ in PYSAT]:
            if r.get(k):
                ratios.setdefault(k, []).append(r["ours"] / r[k])
    png = HERE / "solve_times.png"
    plotted = plot(results, png)
    summary = "\n".join(f"- ours / {k}: geometric mean {geomean(v):.2f} over {len(v)} instances"
                        for k, v in ratios.items())
    sections.append("## Solve times per instance\n\n" + ("![solve times](solve_times.png)\n\n" if plotted else "")
                    + md_table(["instance", "norvane_native s", "minisat s"] + [l + " s" for l, _ in PYSAT], rows)
                    + "\n\n" + summary + "\n")

    header = (f"# Benchmark report\n\nGenerated {started} by `python3 bench/run_all.py{' --quick' if args.quick else ''}`"
              f" with norvane_native {nn.__version__}.\n\nMachine: {machine_facts()}\n\nInstances: "
              f"{BENCH} (the shared public set). Ratios compare figures measured in the same run; the machine is "
              f"shared, so absolute times are noisy.\n")
    (HERE / "REPORT.md").write_text(header + "\n" + "\n".join(sections))
    print(f"wrote {HERE / 'REPORT.md'}" + (f" and {png}" if plotted else ""), file=sys.stderr)


if __name__ == "__main__":
    main()
