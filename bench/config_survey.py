#!/usr/bin/env python3
"""Survey of candidate portfolio configurations: each one alone, on each instance of both shared
sets, after the pipeline's preprocessing.  This is the measurement the default portfolio's choice
rests on (norvane/pipeline.py, README).

Every run is its own process (niced) that loads the reduced formula, solves it with one native
Solver under a conflict budget and a CPU-time cap (RLIMIT_CPU), and reports the answer, conflicts,
propagations and the CPU time of the solve alone.  Conflict and propagation counts are exact and
repeatable; CPU time is what the machine's load disturbs least.  Reduced formulas are made once per
instance (the same preprocessing the pipeline does) and cached as DIMACS in a temporary directory.

    python3 bench/config_survey.py --out survey.jsonl            # everything (hours on 2 cores)
    python3 bench/config_survey.py --only-large --configs glucose walk
    python3 bench/config_survey.py --summary survey.jsonl        # the table of a finished run
"""
from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from common import BENCH, md_table

HERE = Path(__file__).resolve().parent
LARGE = Path(os.environ.get("NORVANE_BENCH_LARGE", BENCH.parent / "bench-large"))

# Candidates: what each changes over the engine's defaults.
CANDIDATES: dict[str, dict] = {
    "default": {},
    "glucose": {"restart": "glucose"},
    "glucose-saved": {"restart": "glucose", "target_phase": False},
    "luby-saved": {"target_phase": False},
    "walk": {"walk_min_conflicts": 0, "walk_patience": 1000000, "walk_flips": 100000},
    "glucose-walk": {"restart": "glucose", "walk_min_conflicts": 0, "walk_patience": 1000000,
                     "walk_flips": 100000},
    "glucose-reset": {"restart": "glucose", "target_reset": 20},
    "luby512-basic": {"luby_base": 512.0, "ccmin": "basic"},
    "random": {"rnd_freq": 0.01, "rnd_seed": 7, "init_phase": True},
}

CHILD = r"""
import json, resource, sys, time
import norvane_native as nn
from norvane import CNF
path, cfg, conflicts, cpu = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
cnf = CNF.from_file(path)
s = nn.Solver(cnf.nvars, **cfg)
s.add_clauses(cnf.db)
t, w = time.process_time(), time.monotonic()
resource.setrlimit(resource.RLIMIT_CPU, (int(t) + cpu, int(t) + cpu + 10))  # SIGXCPU ends the run
r = s.solve(conflicts)
print(json.dumps({"answer": r, "cpu": time.process_time() - t, "wall": time.monotonic() - w,
                  "conflicts": s.conflicts, "propagations": s.propagations, "decisions": s.decisions}))
"""


def manifest(base: Path):
    lines = (base / "MANIFEST.tsv").read_text().splitlines()
    head = lines[0].split("\t")
    return [dict(zip(head, l.split("\t"))) for l in lines[1:] if l.strip()]


def reduced_copy(path: Path, cache: Path) -> tuple[str, dict]:
    """The instance after the pipeline's preprocessing, as plain DIMACS (cached), and its facts."""
    out = cache / (path.name.removesuffix(".xz") + ".reduced")
    facts = cache / (out.name + ".json")
    if not out.exists():
        code = ("import json, sys, time\nfrom norvane import CNF\nfrom norvane.pipeline import simplify\n"
                "cnf = CNF.from_file(sys.argv[1]); t = time.process_time(); p = simplify(cnf, seconds=None)\n"
                "p.cnf.to_file(sys.argv[2])\n"
                "print(json.dumps({'rounds': p.settings['rounds'], 'cpu': time.process_time() - t, "
                "'unsat': p.unsat, 'clauses': len(cnf), 'left': len(p.cnf)}))")
        p = subprocess.run(["nice", "-n", "10", sys.executable, "-c", code, str(path), str(out)],
                           capture_output=True, text=True, check=True)
        facts.write_text(p.stdout)
    return str(out), json.loads(facts.read_text())


def run_one(plain: str, cfg: dict, conflicts: int, cpu: float) -> dict:
    """One configuration on one reduced formula; a run that uses up its CPU seconds is ended by
    SIGXCPU and counts as unsolved (its counters are lost)."""
    p = subprocess.run(["nice", "-n", "10", sys.executable, "-c", CHILD, plain, json.dumps(cfg), str(conflicts),
                        str(int(cpu))], capture_output=True, text=True)
    if p.returncode == -signal.SIGXCPU:
        return {"answer": None, "cpu": cpu, "conflicts": -1, "cpu_out": True}
    if p.returncode != 0:
        return {"error": p.stderr[-500:]}
    return json.loads(p.stdout)


def summary(path: str) -> str:
    rows = [json.loads(l) for l in open(path) if l.strip()]
    names = list(dict.fromkeys(r["config"] for r in rows))
    files = list(dict.fromkeys(r["file"] for r in rows))
    by = {(r["file"], r["config"]): r for r in rows}
    table = []
    for f in files:
        line = [f]
        for n in names:
            r = by.get((f, n))
            if r is None or "error" in r:
                line.append("?" if r is None else "error")
            elif r["answer"] is None:
                line.append("-" if r["conflicts"] < 0 else f"- ({r['conflicts'] // 1000}k)")
            else:
                line.append(f"{r['cpu']:.2f} ({r['conflicts'] // 1000}k)")
        table.append(line)
    solved = ["solved"] + [str(sum(1 for f in files if (by.get((f, n)) or {}).get("answer") is not None))
                           for n in names]
    return md_table(["instance", *names], table + [solved])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default="survey.jsonl")
    ap.add_argument("--configs", nargs="*", default=list(CANDIDATES))
    ap.add_argument("--only-large", action="store_true")
    ap.add_argument("--only-classic", action="store_true")
    ap.add_argument("--names", nargs="*", default=[])
    ap.add_argument("--conflicts", type=int, default=3_000_000)
    ap.add_argument("--cpu", type=float, default=40.0, help="CPU seconds of one run's search")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--cache", default="/tmp/nv-survey")
    ap.add_argument("--summary", metavar="JSONL")
    args = ap.parse_args(argv)
    if args.summary:
        print(summary(args.summary))
        return 0
    cache = Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)
    sets = []
    if not args.only_large:
        sets.append(BENCH)
    if not args.only_classic:
        sets.append(LARGE)
    done = set()
    if os.path.exists(args.out):
        done = {(r["file"], r["config"]) for r in map(json.loads, open(args.out)) if "error" not in r}
    jobs = []
    for base in sets:
        for row in manifest(base):
            if args.names and not any(n in row["file"] for n in args.names):
                continue
            plain, facts = reduced_copy(base / "cnf" / row["file"], cache)
            print(f"{row['file']}: preprocessing {facts}", file=sys.stderr)
            for name in args.configs:
                if (row["file"], name) not in done:
                    jobs.append((row, plain, facts, name))

    def work(job):
        row, plain, facts, name = job
        r = run_one(plain, CANDIDATES[name], args.conflicts, args.cpu)
        r.update(file=row["file"], config=name, expected=row["expected"], pre=facts, at=time.time())
        return r

    with ThreadPoolExecutor(args.jobs) as pool, open(args.out, "a") as out:
        for r in pool.map(work, jobs):
            out.write(json.dumps(r) + "\n")
            out.flush()
            ok = r.get("answer")
            want = {"SAT": True, "UNSAT": False}[r["expected"]]
            flag = "" if ok is None or ok == want else "  WRONG ANSWER"
            print(f"{r['file']:32s} {r['config']:14s} {ok!s:5s} cpu {r.get('cpu', 0):7.2f} "
                  f"conflicts {r.get('conflicts', 0):9d}{flag}", file=sys.stderr)
    print(summary(args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
