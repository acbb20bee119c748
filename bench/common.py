"""Shared helpers of the benchmarks: the instance set, DIMACS reading, timing, baselines."""
from __future__ import annotations

import lzma
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BENCH = Path(os.environ.get("NORVANE_BENCH", ROOT.parent / "shared" / "bench"))


def instances(names=None):
    """Rows of MANIFEST.tsv as dicts (file, family, vars, clauses, expected, minisat_s, ...)."""
    manifest = BENCH / "MANIFEST.tsv"
    if not manifest.exists():
        sys.exit(f"benchmark set not found at {BENCH} (set NORVANE_BENCH)")
    lines = manifest.read_text().splitlines()
    head = lines[0].split("\t")
    rows = [dict(zip(head, l.split("\t"))) for l in lines[1:] if l.strip()]
    if names:
        rows = [r for r in rows if any(n in r["file"] for n in names)]
    return rows


def read_dimacs(path: Path):
    """(nvars, clauses as lists of DIMACS ints), read as the package reads a file: by the engine's
    DIMACS reader, so a repeated literal is kept once and a tautology is left out."""
    from norvane import CNF

    cnf = CNF.from_file(path)
    return cnf.nvars, cnf.clauses


def internal(clauses):
    return [[2 * (abs(d) - 1) + (d < 0) for d in c] for c in clauses]


def plain_copy(path: Path, tmpdir: str) -> str:
    """Decompressed copy of an instance (minisat reads plain files only)."""
    out = Path(tmpdir) / path.name.removesuffix(".xz")
    if not out.exists():
        with lzma.open(path, "rb") as f, open(out, "wb") as g:
            shutil.copyfileobj(f, g)
    return str(out)


def best_of(fn, repeat=3):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def geomean(xs):
    xs = [x for x in xs if x > 0]
    return statistics.geometric_mean(xs) if xs else float("nan")


def minisat_path():
    return shutil.which("minisat")


def run_minisat(plain: str, timeout: float, extra=()):
    """(wall seconds, exit code, stdout) of one minisat run, or None when minisat is missing."""
    exe = minisat_path()
    if not exe:
        return None
    t0 = time.perf_counter()
    try:
        p = subprocess.run([exe, *extra, plain], capture_output=True, text=True, timeout=timeout)
        return time.perf_counter() - t0, p.returncode, p.stdout
    except subprocess.TimeoutExpired:
        return None if timeout is None else (float("inf"), None, "")


def minisat_available(wanted=True):
    """Whether the minisat baseline can run; says so on stderr when it cannot."""
    ok = wanted and run_minisat("/dev/null", 5) is not None
    if wanted and not ok:
        print("minisat not found (apt-get install -y minisat): baseline column skipped", file=sys.stderr)
    return ok


def load(row):
    """(path, nvars, DIMACS clauses, internal clauses) of one MANIFEST row."""
    path = BENCH / "cnf" / row["file"]
    nvars, dimacs = read_dimacs(path)
    return path, nvars, dimacs, internal(dimacs)


def machine_facts():
    cpu = ""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{platform.node()} | {cpu} | {os.cpu_count()} cores | Python {platform.python_version()}"


def md_table(headers, rows):
    out = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def tmpdir():
    return tempfile.mkdtemp(prefix="nvbench-")


def minisat_props_per_sec(stdout: str):
    """Propagations per second from minisat's statistics line
    ("propagations          : 123456         (1234567 /sec)"), or None."""
    for line in stdout.splitlines():
        if line.strip().startswith("propagations"):
            try:
                return float(line.split("(")[1].split()[0])
            except (IndexError, ValueError):
                return None
    return None


def pyplot():
    """matplotlib's pyplot on the file-only backend, or None (with a line saying so) without it."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed (pip install '.[bench]'): no plot", file=sys.stderr)
        return None
    return plt
