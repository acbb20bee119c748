#!/usr/bin/env python3
"""check_proof: time and memory against another build, on cadical's proofs of the shared set.

For every Unsat instance of the set, cadical writes a text DRAT proof (``cadical --no-binary``, in a
temporary directory).  Each measurement runs in a fresh subprocess of the Python under test; this
one and a baseline (``--baseline PYTHON``: another environment's interpreter with an older
norvane_native) alternate, and the fastest of ``--repeat`` runs counts.  Results must be identical
field for field.

* speed: CPU time of ``check_proof(nvars, clauses, steps)`` on step lists converted beforehand, and
  the geometric-mean ratio over the instances the baseline needs ``--min-base`` seconds or more for;
* streaming: ``check_proof(db.num_vars, db, mmap_of_proof_file)`` against the same check on lists;
* memory: peak RSS growth during the call, per clause (problem clauses plus lemmas), on the three
  largest instances of the set (and the largest Unsat ones), with the minisat binary's peak RSS per
  clause (problem plus learned) beside it; streaming: growth with the proof as an mmap and as bytes
  (the checker's own store), against the file size.

    python3 bench/checker_bench.py --baseline /path/to/old-venv/bin/python
    python3 bench/checker_bench.py --no-memory uuf250 php

Another script can import ``make_proofs``, ``measure`` and ``compare`` (``run(argv)`` prints the
tables).
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from common import BENCH, geomean, instances, md_table, minisat_available, plain_copy, tmpdir

HERE = Path(__file__).resolve()


# ---------------------------------------------------------------- proofs


def make_proofs(rows, workdir):
    """{file: (cnf path, proof path)} for the rows cadical proves Unsat (or, for Sat rows, the lemmas
    cadical writes on its way to a model)."""
    cadical = shutil.which("cadical")
    if not cadical:
        sys.exit("cadical not found: it writes the proofs this benchmark checks")
    out = {}
    for row in rows:
        cnf = plain_copy(BENCH / "cnf" / row["file"], workdir)
        proof = cnf.removesuffix(".cnf") + ".drat"
        if not os.path.exists(proof):
            subprocess.run([cadical, "-q", "--no-binary", cnf, proof], stdout=subprocess.DEVNULL)
        out[row["file"]] = (cnf, proof)
    return out


# ---------------------------------------------------------------- one measurement (in a subprocess)


def _read_cnf(path):
    """(nvars, clauses of internal literals) as the engine's reader stores them in a ClauseDb
    (repeated literals dropped, tautologies left out), so that every form of a check sees the same
    formula."""
    import norvane_native as nn

    db = nn.ClauseDb()
    db.read_dimacs(path)
    return db.num_vars, db.clauses()


def _read_steps(path):
    steps = []
    for line in open(path):
        toks = line.split()
        if not toks or toks[0] == "c":
            continue
        deletion = toks[0] == "d"
        lits = [int(t) for t in toks[1 if deletion else 0:-1]]
        steps.append((deletion, [2 * (abs(d) - 1) + (d < 0) for d in lits]))
    return steps


def _rss_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _worker(mode, cnf, proof):
    """Runs one check and prints a JSON line: result, CPU seconds, peak RSS growth in bytes."""
    import mmap
    import time

    import norvane_native as nn

    nvars, clauses = _read_cnf(cnf)
    if mode == "list":
        formula, steps = clauses, _read_steps(proof)
    else:
        formula = nn.ClauseDb(nvars)
        for c in clauses:
            formula.add_clause(c)
        nvars = formula.num_vars
        del clauses
        with open(proof, "rb") as f:
            steps = f.read() if mode == "bytes" else mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    try:  # peak RSS from here on (Linux 4.0 and newer)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = _rss_kb("VmRSS")
    t0 = time.process_time()
    result = nn.check_proof(nvars, formula, steps)
    cpu = time.process_time() - t0
    peak = _rss_kb("VmHWM")
    print(json.dumps({"result": list(result), "cpu": cpu, "growth": 1024 * max(0, peak - before)}))


def measure(python, mode, cnf, proof):
    """One check in a fresh `python` process: dict with result, cpu (s), growth (bytes)."""
    p = subprocess.run([python, str(HERE), "--worker", mode, cnf, proof], capture_output=True, text=True,
                       cwd=HERE.parent)
    if p.returncode != 0:
        raise RuntimeError(f"{python} {mode} {cnf}: {p.stderr[-1500:]}")
    return json.loads(p.stdout.strip().splitlines()[-1])


def compare(variants, cnf, proof, repeat):
    """Alternating runs of each (python, mode) in `variants`; per variant the fastest run's dict (growth: the
    smallest).  Raises when two results differ."""
    best = {}
    for _ in range(repeat):
        for variant in variants:
            m = measure(*variant, cnf, proof)
            b = best.get(variant)
            if b is None:
                best[variant] = m
            else:
                if m["result"] != b["result"]:
                    raise RuntimeError(f"{variant}: results differ between runs on {cnf}")
                b["cpu"] = min(b["cpu"], m["cpu"])
                b["growth"] = min(b["growth"], m["growth"])
    results = {tuple(b["result"]) for b in best.values()}
    if len(results) != 1:
        raise RuntimeError(f"results differ on {cnf}: {best}")
    return best


# ---------------------------------------------------------------- minisat's memory


def minisat_per_clause(cnf, clauses):
    """minisat binary's peak RSS per clause (problem plus learned), or None."""
    exe = shutil.which("minisat")
    if not exe:
        return None
    p = subprocess.Popen([exe, cnf], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = p.stdout.read()
    _, _, usage = os.wait4(p.pid, 0)
    p.returncode = 0
    m = re.search(r"conflicts\s*:\s*(\d+)", out)
    learned = int(m.group(1)) if m else 0
    return usage.ru_maxrss * 1024 / (clauses + learned)


def count_lemmas(proof):
    with open(proof, "rb") as f:
        return sum(1 for line in f if line.strip() and not line.startswith((b"d", b"c")))


# ---------------------------------------------------------------- report


def run(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="only instances whose file name contains one of these")
    ap.add_argument("--baseline", help="Python of an environment with the older norvane_native")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--min-base", type=float, default=0.2)
    ap.add_argument("--no-speed", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args(argv)
    me = sys.executable
    base = args.baseline or me
    rows = instances(args.names)
    unsat = [r for r in rows if r["expected"] == "UNSAT"]
    work = tmpdir()
    proofs = make_proofs(unsat, work)

    table, ratios, stream_ratios = [], [], []
    for row in [] if args.no_speed else unsat:
        cnf, proof = proofs[row["file"]]
        best = compare([(base, "list"), (me, "list"), (me, "mmap")], cnf, proof, args.repeat)
        tb, tn, tm = best[(base, "list")]["cpu"], best[(me, "list")]["cpu"], best[(me, "mmap")]["cpu"]
        counted = tb >= args.min_base
        if counted:
            ratios.append(tb / tn)
            stream_ratios.append(tm / tn)
        res = best[(me, "list")]["result"]
        table.append([row["file"], f"{os.path.getsize(proof) / 1e6:.1f}", res[2], f"{tb:.3f}", f"{tn:.3f}",
                      f"{tb / tn:.2f}" if tn > 0 else "-", f"{tm:.3f}", f"{tm / tn:.2f}" if tn > 0 else "-",
                      "yes" if counted else ""])
    if table:
        print(f"## check_proof speed (CPU s, best of {args.repeat}; baseline {base})\n")
        print(md_table(["instance", "proof MB", "steps", "baseline", "now", "speedup", "mmap+ClauseDb",
                        "mmap/list", f"baseline >= {args.min_base} s"], table))
        print(f"\nspeedup, geometric mean over {len(ratios)} instances: {geomean(ratios):.2f}x; "
              f"mmap+ClauseDb against lists: {geomean(stream_ratios):.2f}x the time (worst "
              f"{max(stream_ratios, default=float('nan')):.2f}x)", flush=True)
    if args.no_memory:
        return

    # The three largest instances of the set, and the three Unsat ones with the largest proofs.
    by_size = sorted(rows, key=lambda r: int(r["clauses"]), reverse=True)
    by_proof = sorted(unsat, key=lambda r: os.path.getsize(proofs[r["file"]][1]), reverse=True)
    chosen = by_size[:3] + by_proof[:3]
    have_minisat = minisat_available()
    mem_rows, mem_proofs = [], make_proofs(chosen, work)
    for row in chosen:
        cnf, proof = mem_proofs[row["file"]]
        n = int(row["clauses"]) + count_lemmas(proof)
        best = compare([(base, "list"), (me, "list"), (me, "mmap"), (me, "bytes")], cnf, proof, 1)
        gb, gn = best[(base, "list")]["growth"], best[(me, "list")]["growth"]
        gm, gy = best[(me, "mmap")]["growth"], best[(me, "bytes")]["growth"]
        ms = minisat_per_clause(cnf, int(row["clauses"])) if have_minisat else None
        size = os.path.getsize(proof)
        mem_rows.append([row["file"], row["expected"], n, f"{gb / n:.0f}", f"{gn / n:.0f}",
                         f"{ms:.0f}" if ms else "-", f"{size / 1e6:.2f}", f"{gm / 1e6:.2f}", f"{gy / 1e6:.2f}",
                         f"{(gm - size - gy) / 1e6:+.2f}"])
    print("\n## check_proof memory (peak RSS growth during the call)\n")
    print(md_table(["instance", "answer", "clauses+lemmas", "B/clause baseline (lists)", "B/clause now (lists)",
                    "B/clause minisat (whole process)", "proof MB", "mmap MB", "bytes MB (own store)",
                    "mmap - file - own store, MB"], mem_rows))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--worker":
        _worker(*sys.argv[2:])
    else:
        run()
