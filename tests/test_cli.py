"""End-to-end runs of tools/nvsat.py: exit codes, output format, proofs, bad input."""
import bz2
import gzip
import lzma
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
NVSAT = ROOT / "tools" / "nvsat.py"
QUEENS = ROOT / "examples" / "queens8.cnf"
PIGEONS = ROOT / "examples" / "pigeons7.cnf"


def nvsat(*args, stdin=None):
    return subprocess.run([sys.executable, str(NVSAT), *map(str, args)], capture_output=True, text=True,
                          input=stdin, timeout=300)


def parse_dimacs(path):
    clauses, cur = [], []
    for line in Path(path).read_text().splitlines():
        if line.startswith(("c", "p")) or not line.strip():
            continue
        for tok in map(int, line.split()):
            if tok:
                cur.append(tok)
            else:
                clauses.append(cur)
                cur = []
    return clauses


def answer(out):
    """(status line, model as a set of true DIMACS literals) from SAT-competition output."""
    status = [l for l in out.splitlines() if l.startswith("s ")]
    assert len(status) == 1, out
    lits = [int(t) for l in out.splitlines() if l.startswith("v ") for t in l.split()[1:]]
    if lits:
        assert lits[-1] == 0
    assert all(l.startswith(("c ", "s ", "v ")) for l in out.splitlines() if l), out
    return status[0], set(lits[:-1])


def check_model(clauses, model):
    return all(any(l in model for l in c) for c in clauses)


@pytest.mark.parametrize("extra", [[], ["--preprocess"], ["--portfolio", "3"], ["-q", "--restart", "glucose",
                                   "--no-target-phase", "--ccmin", "basic"]])
def test_solve_sat(extra):
    r = nvsat("solve", QUEENS, *extra)
    assert r.returncode == 10, r.stderr
    status, model = answer(r.stdout)
    assert status == "s SATISFIABLE"
    assert check_model(parse_dimacs(QUEENS), model) and len(model) == 64


def test_solve_default_instance():
    r = nvsat("solve")
    assert r.returncode == 10 and "queens8.cnf" in r.stdout


@pytest.mark.parametrize("extra", [[], ["--preprocess"], ["--portfolio", "2"]])
def test_unsat_proof_written_and_checked(extra, tmp_path):
    proof = tmp_path / "p.drat"
    r = nvsat("solve", PIGEONS, "--proof", proof, "--check", *extra)
    assert r.returncode == 20, r.stdout + r.stderr
    assert answer(r.stdout)[0] == "s UNSATISFIABLE"
    assert "empty clause derived and every step verified" in r.stdout
    lines = proof.read_text().splitlines()
    assert lines[-1] == "0" and all(l.endswith(" 0") or l in ("0", "d 0") for l in lines)
    c = nvsat("check", PIGEONS, proof)
    assert c.returncode == 0 and "s VERIFIED" in c.stdout


def test_check_rejects_a_broken_proof(tmp_path):
    proof = tmp_path / "bad.drat"
    proof.write_text("1 0\n0\n")
    c = nvsat("check", PIGEONS, proof)
    assert c.returncode == 1 and "s NOT VERIFIED" in c.stdout and "failed at step 1" in c.stdout


@pytest.mark.parametrize("opener,suffix", [(gzip.open, ".gz"), (lzma.open, ".xz"), (bz2.open, ".bz2")])
def test_compressed_input(opener, suffix, tmp_path):
    path = tmp_path / ("q.cnf" + suffix)
    with opener(path, "wb") as f:
        f.write(QUEENS.read_bytes())
    assert nvsat("solve", path, "-q").returncode == 10


def test_standard_input():
    r = nvsat("solve", "-", stdin="p cnf 2 2\n1 2 0\n-1 0\n")
    assert r.returncode == 10 and answer(r.stdout) == ("s SATISFIABLE", {-1, 2})


def test_limits_give_unknown():
    r = nvsat("solve", PIGEONS, "--conflicts", "10")
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN"
    r = nvsat("solve", PIGEONS, "--time-limit", "0")
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN"


def test_preprocess_writes_an_equisatisfiable_formula(tmp_path):
    out = tmp_path / "reduced.cnf"
    r = nvsat("preprocess", QUEENS, "-o", out)
    assert r.returncode == 0, r.stderr
    assert out.read_text().splitlines()[2].startswith("p cnf 64 ")
    assert nvsat("solve", out, "-q").returncode == 10
    unsat = tmp_path / "reduced-unsat.cnf"
    assert nvsat("preprocess", PIGEONS, "-o", unsat).returncode == 0
    assert nvsat("solve", unsat, "-q").returncode == 20


@pytest.mark.parametrize("content,message", [
    ("p cnf x 2\n1 0\n", "f.cnf:1: malformed header"),
    ("p dnf 2 1\n1 0\n", "f.cnf:1: malformed header"),
    ("c only\n", "f.cnf: no 'p cnf' header"),
    ("1 2 0\np cnf 2 1\n", "f.cnf:1: clause before the 'p cnf' header"),
    ("p cnf 2 1\n1 3 0\n", "f.cnf:2: literal 3 is beyond the header's 2 variables"),
    ("p cnf 2 2\n1 2 0\n-1\n", "f.cnf:3: clause is missing its final 0"),
    ("p cnf 2 1\n1 x 0\n", "f.cnf:2: 'x' is not a literal"),
])
def test_malformed_input(content, message, tmp_path):
    path = tmp_path / "f.cnf"
    path.write_text(content)
    r = nvsat("solve", path)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.count("\n") == 1 and message in r.stderr and "Traceback" not in r.stderr


def test_unreadable_files(tmp_path):
    r = nvsat("solve", tmp_path / "missing.cnf")
    assert r.returncode == 2 and "missing.cnf: cannot read file" in r.stderr
    proof = tmp_path / "p.drat"
    proof.write_text("1 2\n")
    r = nvsat("check", PIGEONS, proof)
    assert r.returncode == 2 and "p.drat:1: proof step is missing its final 0" in r.stderr


@pytest.mark.parametrize("sub", ["solve", "check", "preprocess"])
def test_help(sub):
    r = nvsat(sub, "--help")
    assert r.returncode == 0 and "usage:" in r.stdout
    if sub == "solve":
        assert "restart of the search" in r.stdout.replace("\n", " ").replace("  ", " ")
