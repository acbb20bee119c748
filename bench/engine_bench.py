#!/usr/bin/env python3
"""Engine speed against an older build: the solver and the proof checker, results compared.

    python3 bench/engine_bench.py --base /work/venvs/old          # an installed environment
    python3 bench/engine_bench.py --base build/old                # a build directory holding the module
    python3 bench/engine_bench.py --base-commit d9efa75           # a commit, built into a temporary venv

Both builds run in worker processes of their own, fed one request at a time and interleaved (base,
new, new, base, ...) so that the noise of a shared machine falls on both alike.

Solver: every instance of the shared set is solved with the default options `--reps` times by each
build (proof logging off), plus once more with proof logging on.  All eleven counters, the answer,
a hash of the model and a hash of the proof must agree between the builds; the table gives the
median solve times and their ratio.  Summary: the geometric mean of the time ratios over the
instances the base build needs at least 0.3 s for, and propagations per second (CPU time) against
the minisat binary on the instances where both minisat and the new build take at least 0.5 s.

Checker: cadical (`--no-binary`, in a temporary directory) writes a text DRAT proof for each
Unsat instance; both builds run `check_proof` on it, every field of the result must agree, and the
summary is the geometric mean of the time ratios over the proofs the base build checks in at least
0.2 s.

Memory: bytes per clause (problem and learned) of both builds' solvers and of minisat on the three
largest instances, by clause layout, with the problem-clause figure of both builds also measured
as heap growth (`memory_part`).
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import (BENCH, ROOT, geomean, instances, md_table, minisat_available, minisat_props_per_sec,  # noqa: E402
                    plain_copy, run_minisat)

STATS = ("decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail")
CHECK_FIELDS = ("ok", "message", "steps", "rup", "rat", "deleted", "skipped", "rat_checks", "failed_step",
                "empty_derived")


# ---------------------------------------------------------------------- worker side


def _heap_bytes():
    """Bytes the C library's allocator has handed out and not taken back (glibc), or None."""
    import ctypes

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    try:
        libc = ctypes.CDLL(None)
        f = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    f.restype = Mallinfo2
    m = f()
    return m.uordblks + m.hblkhd


def _read_proof(path):
    """Steps of a text DRAT file as check_proof takes them (internal literals)."""
    steps = []
    with open(path) as f:
        for line in f:
            toks = line.split()
            if not toks or toks[0] == "c":
                continue
            dele = toks[0] == "d"
            lits = [int(t) for t in (toks[1:] if dele else toks)]
            if lits and lits[-1] == 0:
                lits.pop()
            steps.append((dele, [2 * (abs(d) - 1) + (d < 0) for d in lits]))
    return steps


def worker():
    """Answers JSON requests, one a line on stdin, with one JSON line each on stdout."""
    import norvane_native as nn

    from common import load

    cache = {}

    def formula(name):
        if name not in cache:
            _, nvars, _, clauses = load({"file": name})
            cache[name] = (nvars, clauses)
        return cache[name]

    proofs = {}
    out = sys.stdout
    sys.stdout = sys.stderr
    for line in sys.stdin:
        req = json.loads(line)
        op = req["op"]
        if op == "hello":
            # A first small call of each kind, so no timed call pays for warming up.
            nn.check_proof(2, [[0, 2], [0, 3], [1, 2], [1, 3]], [(False, [2]), (False, [])])
            warm = nn.Solver(3)
            warm.add_clause([0, 2])
            warm.solve()
            rep = {"module": nn.__file__}
        elif op == "solve":
            nvars, clauses = formula(req["file"])
            s = nn.Solver(nvars)
            if req["proof"]:
                s.enable_proof()
            for c in clauses:
                s.add_clause(c)
            t0, c0 = time.perf_counter(), time.process_time()
            ans = s.solve(seconds=req["seconds"])
            t, cpu = time.perf_counter() - t0, time.process_time() - c0
            rep = {"time": t, "cpu": cpu, "answer": ans, "stats": [getattr(s, k) for k in STATS],
                   "model": hashlib.sha256(bytes(s.model)).hexdigest()[:16]}
            if req["proof"]:
                h = hashlib.sha256()
                for kind, lits in s.proof_steps():
                    h.update(f"{kind} {' '.join(map(str, lits))}\n".encode())
                rep["proof"] = h.hexdigest()[:16]
        elif op == "check":
            nvars, clauses = formula(req["file"])
            if req["proof_file"] not in proofs:
                proofs.clear()
                proofs[req["proof_file"]] = _read_proof(req["proof_file"])
            steps = proofs[req["proof_file"]]
            t0 = time.perf_counter()
            res = nn.check_proof(nvars, clauses, steps)
            rep = {"time": time.perf_counter() - t0, "result": list(res)}
        elif op == "memory":
            rep = memory_probe(nn, *formula(req["file"]))
        else:
            rep = {"error": f"unknown op {op}"}
        out.write(json.dumps(rep) + "\n")
        out.flush()


def memory_probe(nn, nvars, clauses):
    """Heap bytes the solver takes for the problem clauses: a solver with every variable already
    made, before and after the clauses are added, per clause of two or more distinct literals."""
    s = nn.Solver(nvars)
    before = _heap_bytes()
    for c in clauses:
        s.add_clause(c)
    grown = _heap_bytes() - before
    stored = sum(1 for c in clauses if len(set(c)) >= 2)
    ans = s.solve()
    return {"problem": grown / max(stored, 1), "stored": stored,
            "learned": s.learned, "learned_lits": s.learned_lits, "answer": ans}


# ---------------------------------------------------------------------- driver side


class Build:
    """One build of the module, answering requests in a worker process."""

    def __init__(self, label, python, pythonpath=None):
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        if pythonpath is not None:
            env["PYTHONPATH"] = pythonpath
        elif label == "new" and os.environ.get("PYTHONPATH"):
            # The worker runs elsewhere: relative entries are made absolute.
            env["PYTHONPATH"] = os.pathsep.join(str(Path(e).resolve()) for e in
                                                os.environ["PYTHONPATH"].split(os.pathsep) if e)
        env["NORVANE_BENCH"] = str(BENCH)
        self.label = label
        self.proc = subprocess.Popen([python, str(Path(__file__).resolve()), "--worker"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env, cwd=HERE)
        self.module = self.ask({"op": "hello"})["module"]

    def ask(self, req):
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"{self.label} worker died (request {req})")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def resolve_build(label, where):
    """(python, PYTHONPATH) for a venv directory, a Python executable or a build directory."""
    p = Path(where).resolve()
    if p.is_dir() and (p / "bin" / "python").exists():
        return str(p / "bin" / "python"), ""
    if p.is_file():
        return str(p), ""
    if p.is_dir() and any(p.glob("norvane_native*.so")):
        return sys.executable, str(p)
    sys.exit(f"{label}: {where} is neither a venv, a Python executable nor a directory holding the module")


def build_commit(rev, where):
    """Builds the module of commit `rev` into a fresh venv under `where`; returns its python."""
    src = Path(where) / "src"
    src.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    venv = Path(where) / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    py = str(venv / "bin" / "python")
    print(f"building {rev} into {venv} ...", file=sys.stderr, flush=True)
    subprocess.run([py, "-m", "pip", "install", "-q", "scikit-build-core", "cmake"], check=True)
    subprocess.run([py, "-m", "pip", "install", "-q", "--no-build-isolation", str(src)], check=True)
    return py


def interleaved(base, new, req, reps):
    """`reps` answers of each build, alternating which goes first."""
    a, b = [], []
    for r in range(reps):
        pair = (base, new) if r % 2 == 0 else (new, base)
        for w in pair:
            (a if w is base else b).append(w.ask(req))
    return a, b


def solver_part(base, new, rows_in, args, out):
    rows, ratios, mismatches, pps = [], [], [], []
    for row in rows_in:
        name = row["file"]
        req = {"op": "solve", "file": name, "proof": False, "seconds": args.timeout}
        a, b = interleaved(base, new, req, args.reps)
        pa, pb = interleaved(base, new, dict(req, proof=True), 1)
        keys = ("answer", "stats", "model")
        ref = {k: a[0][k] for k in keys}
        for r in a + b + pa + pb:
            if {k: r[k] for k in keys} != ref:
                mismatches.append(name)
                break
        if pa[0]["proof"] != pb[0]["proof"] and name not in mismatches:
            mismatches.append(name)
        ta, tb = statistics.median(r["time"] for r in a), statistics.median(r["time"] for r in b)
        ratio = ta / tb if tb > 0 else float("nan")
        if ta >= 0.3:
            ratios.append(ratio)
        props = a[0]["stats"][1]
        cpu_b = statistics.median(r["cpu"] for r in b)
        cpu_a = statistics.median(r["cpu"] for r in a)
        ms = "-"
        if args.minisat and row["expected"]:
            m = run_minisat(plain_copy(BENCH / "cnf" / name, args.tmp), timeout=args.timeout, extra=("-verb=1",))
            if m and m[0] != float("inf"):
                mp = minisat_props_per_sec(m[2])
                ms = f"{m[0]:.3f}"
                if mp and m[0] >= 0.5 and tb >= 0.5:
                    pps.append((name, props / cpu_a, props / cpu_b, mp))
        answer = {True: "SAT", False: "UNSAT", None: "unknown"}[a[0]["answer"]]
        same = "no" if name in mismatches else "yes"
        rows.append([name, answer, f"{ta:.3f}", f"{tb:.3f}", f"{ratio:.2f}", ms, a[0]["stats"][2], same])
        print(f"  solve {name}: {ta:.3f} -> {tb:.3f} s ({ratio:.2f}x) same={same}", file=sys.stderr, flush=True)
    print("## Solver\n", file=out)
    print(md_table(["instance", "answer", "base s", "new s", "speedup", "minisat s", "conflicts",
                    "identical"], rows), file=out)
    print(f"\ninstances whose counters, answer, model or proof differ: {len(mismatches)} {mismatches}", file=out)
    print(f"geometric-mean speedup over the {len(ratios)} instances the base build needs >= 0.3 s for: "
          f"{geomean(ratios):.3f}x", file=out)
    if pps:
        print("\npropagations per second (CPU time) against minisat, instances where both take >= 0.5 s:\n",
              file=out)
        print(md_table(["instance", "base Mprops/s", "new Mprops/s", "minisat Mprops/s", "base/minisat",
                        "new/minisat"],
                       [[n, f"{x / 1e6:.2f}", f"{y / 1e6:.2f}", f"{m / 1e6:.2f}", f"{x / m:.2f}", f"{y / m:.2f}"]
                        for n, x, y, m in pps]), file=out)
        print(f"\nmedian new/minisat {statistics.median(y / m for _, _, y, m in pps):.2f} "
              f"(base/minisat {statistics.median(x / m for _, x, _, m in pps):.2f})", file=out)
    return mismatches


def cadical_proof(name, tmp):
    """Path of cadical's text DRAT proof of an instance (made once per run)."""
    out = Path(tmp) / (name + ".drat")
    if not out.exists():
        plain = plain_copy(BENCH / "cnf" / name, tmp)
        subprocess.run(["cadical", "-q", "--no-binary", plain, str(out)], capture_output=True)
    return str(out)


def checker_part(base, new, rows_in, args, out):
    if not shutil.which("cadical"):
        print("cadical not found: checker part skipped", file=out)
        return []
    rows, ratios, mismatches = [], [], []
    for row in rows_in:
        if row["expected"] != "UNSAT":
            continue
        name = row["file"]
        proof = cadical_proof(name, args.tmp)
        a, b = interleaved(base, new, {"op": "check", "file": name, "proof_file": proof}, args.reps)
        if any(r["result"] != a[0]["result"] for r in a + b):
            mismatches.append(name)
        ta, tb = statistics.median(r["time"] for r in a), statistics.median(r["time"] for r in b)
        ratio = ta / tb if tb > 0 else float("nan")
        if ta >= 0.2:
            ratios.append(ratio)
        res = dict(zip(CHECK_FIELDS, a[0]["result"]))
        rows.append([name, res["ok"], res["steps"], f"{ta:.3f}", f"{tb:.3f}", f"{ratio:.2f}",
                     "no" if name in mismatches else "yes"])
        print(f"  check {name}: {ta:.3f} -> {tb:.3f} s ({ratio:.2f}x)", file=sys.stderr, flush=True)
    print("\n## Checker (cadical's text proofs)\n", file=out)
    print(md_table(["instance", "ok", "steps", "base s", "new s", "speedup", "identical"], rows), file=out)
    print(f"\nproofs whose result differs in any field: {len(mismatches)} {mismatches}", file=out)
    print(f"geometric-mean speedup over the {len(ratios)} proofs the base build checks in >= 0.2 s: "
          f"{geomean(ratios):.3f}x", file=out)
    return mismatches


# Bytes a clause of n literals costs by layout: clause store, its two watches and its entry in the
# clause list.  Base (the clause store before the arena headers): an 8-byte record (start,
# length), a 16-byte record (activity, glue, flags), the literals, two 8-byte watches, a 4-byte
# list entry.  New: an 8-byte header (length, flags and glue) next to the literals, 8 bytes of
# activity before learned clauses only, two 8-byte watches, a 4-byte list entry.  minisat 2.2
# (its simplifying main, which gives every clause the extra word): a 4-byte header and a 4-byte
# extra word (activity or abstraction) next to the literals, two 8-byte watchers, a 4-byte entry.
LAYOUT = {"base": (44, 44), "new": (28, 36), "minisat": (28, 28)}


def memory_part(base, new, rows_in, out):
    """Bytes per clause on the three largest instances (by clause count)."""
    big = sorted((r for r in rows_in), key=lambda r: -int(r["clauses"]))[:3]
    rows = []
    for row in big:
        name = row["file"]
        a = base.ask({"op": "memory", "file": name})
        b = new.ask({"op": "memory", "file": name})
        from common import load

        _, _, dimacs, _ = load(row)
        plen = sum(len(set(c)) for c in dimacs if len(set(c)) >= 2) / max(a["stored"], 1)
        llen = b["learned_lits"] / max(b["learned"], 1)
        cells = [name, a["stored"], f"{plen:.1f}", f"{llen:.1f}"]
        for who in ("base", "new", "minisat"):
            p, lrn = LAYOUT[who]
            cells += [f"{p + 4 * plen:.0f}", f"{lrn + 4 * llen:.0f}"]
        cells += [f"{a['problem']:.0f}", f"{b['problem']:.0f}"]
        rows.append(cells)
    print("\n## Solver memory: bytes per clause (three largest instances)\n", file=out)
    print(md_table(["instance", "problem clauses", "mean len", "mean learned len", "base problem",
                    "base learned", "new problem", "new learned", "minisat problem", "minisat learned",
                    "base problem, heap", "new problem, heap"], rows), file=out)
    print("\nBy layout at the instance's mean lengths (see LAYOUT in this script); the last two columns "
          "are measured: heap growth (C library allocator) while the problem clauses are added, per "
          "clause of two or more literals, vector slack included.", file=out)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="only instances whose file name contains one of these")
    g = ap.add_mutually_exclusive_group(required=True)
    g.add_argument("--base", help="venv directory, Python executable or build directory of the older build")
    g.add_argument("--base-commit", help="commit to build into a temporary venv as the older build")
    ap.add_argument("--new", help="the build to measure (default: this interpreter and its PYTHONPATH)")
    ap.add_argument("--reps", type=int, default=3, help="timed runs per build and instance (default 3)")
    ap.add_argument("--timeout", type=float, default=300.0, help="time limit of one solve, seconds")
    ap.add_argument("--no-solver", action="store_true")
    ap.add_argument("--no-checker", action="store_true")
    ap.add_argument("--no-minisat", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("-o", "--output", help="also write the report to this file")
    args = ap.parse_args(argv)
    args.tmp = tempfile.mkdtemp(prefix="nvengine-")
    try:
        if args.base_commit:
            bpy, bpath = build_commit(args.base_commit, args.tmp), ""
        else:
            bpy, bpath = resolve_build("base", args.base)
        npy, npath = resolve_build("new", args.new) if args.new else (sys.executable, None)
        base, new = Build("base", bpy, bpath), Build("new", npy, npath)
        args.minisat = minisat_available(not args.no_minisat)
        rows = instances(args.names)

        class Tee:
            def __init__(self):
                self.parts = []

            def write(self, s):
                self.parts.append(s)
                sys.stdout.write(s)

        out = Tee()
        print(f"# Engine benchmark\n\nbase: {base.module}\nnew: {new.module}\nreps: {args.reps}, interleaved\n",
              file=out)
        t0 = time.perf_counter()
        bad = []
        if not args.no_solver:
            bad += solver_part(base, new, rows, args, out)
        if not args.no_memory:
            memory_part(base, new, rows, out)
        if not args.no_checker:
            bad += checker_part(base, new, rows, args, out)
        print(f"\n(took {time.perf_counter() - t0:.0f} s)", file=out)
        base.close()
        new.close()
        if args.output:
            Path(args.output).write_text("".join(out.parts))
        return 1 if bad else 0
    finally:
        shutil.rmtree(args.tmp, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        sys.exit(main())
