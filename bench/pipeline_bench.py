#!/usr/bin/env python3
"""The default pipeline of `norvane solve` against the cadical and minisat binaries: whole process
against whole process, on both shared sets, with a per-instance limit, in one run.

Per instance, one after the other on the same decompressed file: `norvane solve FILE` (the default:
preprocessing, then the portfolio over the cores), `cadical -q FILE`, `minisat -verb=0 FILE` and, on
the classic set (or with --single), the single default solver `norvane solve -q --jobs 1
--no-preprocess FILE`.  Each answer is checked against MANIFEST.tsv (norvane checks its own models).
Wall time of the whole process; a run that exceeds the limit is killed and counts as unsolved.

Summary per set: solved count, PAR-2 (sum of times, an unsolved instance counting twice the
limit), the geometric mean of per-instance time ratios against each baseline (instances both
solve), the largest ratio against cadical, and the targets: on the large set every instance cadical
solves solved, PAR-2 at most cadical's, none more than 3x slower than cadical; on the classic set
none slower than the single default solver by more than the portfolio's start-up cost (measured
here on an empty formula).  A cactus plot goes to bench/pipeline_cactus.png; the machine's load
average is sampled before every run and reported.

    python3 bench/pipeline_bench.py                     # both sets
    python3 bench/pipeline_bench.py --set large --limit 100 --json runs.json
"""
from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from common import BENCH, geomean, machine_facts, md_table, plain_copy, pyplot, tmpdir

HERE = Path(__file__).resolve().parent
LARGE = Path(os.environ.get("NORVANE_BENCH_LARGE", BENCH.parent / "bench-large"))
EXPECT = {"SAT": 10, "UNSAT": 20}
SETS = {"classic": BENCH, "large": LARGE}


def manifest(base: Path, names):
    lines = (base / "MANIFEST.tsv").read_text().splitlines()
    head = lines[0].split("\t")
    rows = [dict(zip(head, l.split("\t"))) for l in lines[1:] if l.strip()]
    return [r for r in rows if not names or any(n in r["file"] for n in names)]


def run(cmd, limit):
    """(wall seconds, exit code, CPU seconds of the process) of one run; wall inf and code None
    past the limit (the process is killed)."""
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    deadline = t0 + limit
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            p.returncode = os.waitstatus_to_exitcode(status)
            return time.perf_counter() - t0, p.returncode, usage.ru_utime + usage.ru_stime
        if time.perf_counter() >= deadline:
            p.kill()
            _, status, usage = os.wait4(p.pid, 0)
            p.returncode = -9
            return float("inf"), None, usage.ru_utime + usage.ru_stime
        time.sleep(0.002)


def startup_cost(norvane, tmp, repeat=7):
    """Extra wall time of the default pipeline over the single solver on a one-clause formula
    (fastest of `repeat` runs each): the price of preprocessing, and of starting the portfolio
    (measured without preprocessing, which alone decides this formula), whichever is larger."""
    tiny = Path(tmp) / "tiny.cnf"
    tiny.write_text("p cnf 2 1\n1 2 0\n")
    single = min(run([norvane, "solve", "-q", "--jobs", "1", "--no-preprocess", str(tiny)], 30)[0]
                 for _ in range(repeat))
    extra = [min(run([norvane, "solve", *flags, str(tiny)], 30)[0] for _ in range(repeat)) - single
             for flags in ([], ["--no-preprocess"])]
    return max(0.0, *extra)


def par2(times, limit):
    return sum(t if t < math.inf else 2 * limit for t in times)


def cactus(results, limits, out):
    plt = pyplot()
    if plt is None:
        return False
    sets = [s for s in SETS if any(r["set"] == s for r in results)]
    fig, axes = plt.subplots(1, len(sets), figsize=(6 * len(sets), 4.5), squeeze=False)
    for ax, name in zip(axes[0], sets):
        rows = [r for r in results if r["set"] == name]
        for tool, style in (("norvane", "o-"), ("single", "x:"), ("cadical", "^-"), ("minisat", "s--")):
            times = sorted(r[tool]["wall"] for r in rows if tool in r and r[tool]["wall"] < math.inf)
            if times:
                label = {"norvane": "norvane solve (pipeline)", "single": "norvane --jobs 1 --no-preprocess"}.get(tool, tool)
                ax.plot(range(1, len(times) + 1), times, style, markersize=3, label=label)
        ax.set_yscale("log")
        ax.set_xlabel("instances solved")
        ax.set_ylabel("wall seconds per instance (whole process)")
        ax.set_title(f"{name} set ({len(rows)} instances, limit {limits[name]:.0f} s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--set", choices=["classic", "large", "both"], default="both")
    ap.add_argument("--limit", type=float, default=100.0, help="per-instance limit on the large set (s)")
    ap.add_argument("--classic-limit", type=float, default=30.0, help="per-instance limit on the classic set (s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per tool on the classic set (the fastest counts)")
    ap.add_argument("--single", action="store_true", help="also the single default solver on the large set")
    ap.add_argument("--plot", default=str(HERE / "pipeline_cactus.png"))
    ap.add_argument("--json", help="write every run to this file")
    args = ap.parse_args(argv)
    norvane = shutil.which("norvane")
    if not norvane:
        sys.exit("the norvane command is not installed (pip install .)")
    tools = {"cadical": shutil.which("cadical"), "minisat": shutil.which("minisat")}
    tmp = tmpdir()
    limits = {"classic": args.classic_limit, "large": args.limit}
    sets = ["classic", "large"] if args.set == "both" else [args.set]
    loads = [os.getloadavg()[0]]
    started = time.time()
    startup = startup_cost(norvane, tmp)
    results, failures = [], []
    for name in sets:
        base = SETS[name]
        for row in manifest(base, args.names):
            plain = plain_copy(base / "cnf" / row["file"], tmp)
            want = EXPECT[row["expected"]]
            cmds = {"norvane": [norvane, "solve", plain]}
            if name == "classic" or args.single:
                cmds["single"] = [norvane, "solve", "-q", "--jobs", "1", "--no-preprocess", plain]
            if tools["cadical"]:
                cmds["cadical"] = [tools["cadical"], "-q", plain]
            if tools["minisat"]:
                cmds["minisat"] = [tools["minisat"], "-verb=0", plain]
            r = {"set": name, "file": row["file"], "family": row["family"]}
            repeat = args.repeat if name == "classic" else 1
            for _ in range(repeat):
                for tool, cmd in cmds.items():
                    loads.append(os.getloadavg()[0])
                    wall, code, cpu = run(cmd, limits[name])
                    if code is not None and code != want:
                        failures.append(f"{tool} {row['file']}: exit {code}, expected {want}")
                        wall = math.inf
                    if tool not in r or wall < r[tool]["wall"]:
                        r[tool] = {"wall": wall, "cpu": cpu}
            results.append(r)
            print(f"{name:7s} {row['file']:32s} " + " ".join(
                f"{t} {r[t]['wall']:7.2f}" for t in cmds), file=sys.stderr, flush=True)
    loads.append(os.getloadavg()[0])

    print(f"`norvane solve` (default pipeline) against the binaries, whole process, wall time; "
          f"{machine_facts()}; {time.strftime('%Y-%m-%d %H:%M', time.localtime(started))}, "
          f"{(time.time() - started) / 60:.0f} minutes. Load average (1 min) during the run: mean "
          f"{sum(loads) / len(loads):.1f}, min {min(loads):.1f}, max {max(loads):.1f}. Start-up cost of the "
          f"pipeline over the single solver (one-clause formula, fastest of 7 runs each): {startup * 1000:.0f} ms.\n")
    verdicts = []
    for name in sets:
        rows = [r for r in results if r["set"] == name]
        if not rows:
            continue
        limit = limits[name]
        table = []
        for tool in ("norvane", "single", "cadical", "minisat"):
            have = [r for r in rows if tool in r]
            if not have:
                continue
            times = [r[tool]["wall"] for r in have]
            line = [tool, f"{sum(t < math.inf for t in times)} of {len(have)}", f"{par2(times, limit):.1f}"]
            for other in ("cadical", "minisat", "single"):
                both = [r for r in have if other in r and r[tool]["wall"] < math.inf and r[other]["wall"] < math.inf]
                line.append(f"{geomean([r[tool]['wall'] / r[other]['wall'] for r in both]):.2f} ({len(both)})"
                            if both and tool != other else "")
            table.append(line)
        print(f"\n**{name} set** ({len(rows)} instances, limit {limit:.0f} s, "
              f"{'fastest of ' + str(args.repeat) + ' runs' if name == 'classic' else 'one run'} each)\n")
        print(md_table(["tool", "solved", "PAR-2 (s)", "time ratio vs cadical (geo. mean, n)", "vs minisat",
                        "vs single solver"], table))
        detail = []
        for r in rows:
            line = [r["file"], r["family"]]
            for tool in ("norvane", "single", "cadical", "minisat"):
                if tool in r:
                    w = r[tool]["wall"]
                    line.append("-" if w == math.inf else f"{w:.2f}")
                else:
                    line.append("")
            c = r.get("cadical", {}).get("wall", math.inf)
            n = r["norvane"]["wall"]
            line.append("" if c == math.inf else ("unsolved" if n == math.inf else f"{n / c:.2f}"))
            detail.append(line)
        if name == "large" or args.names:
            print()
            print(md_table(["instance", "family", "norvane", "single", "cadical", "minisat", "norvane / cadical"],
                           detail))
        if name == "large" and "cadical" in rows[0]:
            missed = [r["file"] for r in rows if r["cadical"]["wall"] < math.inf and r["norvane"]["wall"] == math.inf]
            slow = [(r["file"], r["norvane"]["wall"] / r["cadical"]["wall"]) for r in rows
                    if r["cadical"]["wall"] < math.inf and r["norvane"]["wall"] < math.inf
                    and r["norvane"]["wall"] > 3 * r["cadical"]["wall"]]
            p_n = par2([r["norvane"]["wall"] for r in rows], limit)
            p_c = par2([r["cadical"]["wall"] for r in rows], limit)
            verdicts.append(f"large, everything cadical solves: {'met' if not missed else 'missed: ' + ', '.join(missed)}")
            verdicts.append(f"large, PAR-2 at most cadical's: {'met' if p_n <= p_c else 'missed'} ({p_n:.1f} s against {p_c:.1f} s)")
            verdicts.append("large, none more than 3x slower than cadical: " + (
                "met" if not slow else "missed: " + ", ".join(f"{f} {x:.1f}x" for f, x in slow)))
        if name == "classic" and "single" in rows[0]:
            over = [(r["file"], r["norvane"]["wall"] - r["single"]["wall"]) for r in rows
                    if r["norvane"]["wall"] - r["single"]["wall"] > startup]
            verdicts.append(f"classic, none slower than the single solver by more than the start-up cost "
                            f"({startup * 1000:.0f} ms): " + ("met" if not over else "missed: " + ", ".join(
                                f"{f} +{d * 1000:.0f} ms" for f, d in over)))
    if verdicts:
        print("\nTargets:\n\n" + "\n".join(f"- {v}" for v in verdicts))
    if failures:
        print("\nWRONG ANSWERS:\n" + "\n".join(failures))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"loads": loads, "startup": startup, "limits": limits,
                       "results": [{k: ({kk: (None if vv == math.inf else vv) for kk, vv in v.items()}
                                        if isinstance(v, dict) else v) for k, v in r.items()} for r in results]},
                      f, indent=1)
    if args.plot and cactus(results, limits, args.plot):
        print(f"\n![cactus plot]({Path(args.plot).name})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
