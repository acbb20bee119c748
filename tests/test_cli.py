"""The `norvane` command end to end: answers, exit codes, files, bad input, piped input, the map, Ctrl-C."""
import contextlib
import importlib.util
import json
import os
import pty
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import norvane
from conftest import dimacs_satisfies, php_file

EXAMPLES = Path(norvane.__file__).resolve().parent / "examples"
QUEENS = EXAMPLES / "queens8.cnf"
PIGEONS = EXAMPLES / "pigeons7.cnf"


def norvane_cmd(*args, stdin=subprocess.DEVNULL, input=None, **kw):
    return subprocess.run([sys.executable, "-m", "norvane", *map(str, args)], capture_output=True, text=True,
                          stdin=None if input is not None else stdin, input=input, timeout=300, **kw)


def answer(out):
    """(status line, model as a set of true DIMACS literals) from SAT-competition output."""
    status = [l for l in out.splitlines() if l.startswith("s ")]
    assert len(status) == 1, out
    lits = [int(t) for l in out.splitlines() if l.startswith("v ") for t in l.split()[1:]]
    assert not lits or lits[-1] == 0
    assert all(l.startswith(("c ", "s ", "v ")) for l in out.splitlines() if l), out
    return status[0], set(lits[:-1])


def satisfied(path, model):
    return dimacs_satisfies(norvane.CNF.from_file(path), model)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.endswith(".tmp"))


@pytest.mark.parametrize("path,extra", [
    (QUEENS, []), (QUEENS, ["--portfolio", "3"]), (PIGEONS, ["--preprocess", "--proof-format", "binary"]),
    (QUEENS, ["-q", "--restart", "glucose", "--no-target-phase", "--ccmin", "basic"]),
    (PIGEONS, []), (PIGEONS, ["--jobs", "1", "--no-preprocess"])],
    ids=lambda v: v.name if isinstance(v, Path) else " ".join(v))
def test_solve(path, extra, tmp_path):
    proof, stats = tmp_path / "p.drat", tmp_path / "s.json"
    proof.write_text("old\n")  # replaced by the proof of an UNSAT answer only
    r = norvane_cmd("solve", path, "--proof", proof, "--check", "--stats-json", stats, *extra)
    status, model = answer(r.stdout)
    data = json.loads(stats.read_text())
    assert (data["exit_code"], data["clauses"], set(data["times"]) >= {"parse", "solve"}) == \
        (r.returncode, 736 if path == QUEENS else 133, True)
    if path == QUEENS:
        assert (r.returncode, status, data["answer"]) == (10, "s SATISFIABLE", "SATISFIABLE"), r.stderr
        assert satisfied(QUEENS, model) and len(model) == 64 and proof.read_text() == "old\n"
        return
    assert (r.returncode, status, data["answer"]) == (20, "s UNSATISFIABLE", "UNSATISFIABLE"), r.stdout + r.stderr
    assert "empty clause derived and every step verified" in r.stdout and data["search"]["conflicts"] > 0
    assert norvane.check_proof(norvane.CNF.from_file(path), proof).ok and leftovers(tmp_path) == []
    if "--no-preprocess" in extra:  # one solver with the defaults: a plain Solver's counters (test_pipeline.py)
        assert data["search"] == norvane.solve(path, deterministic=True).stats


def test_standard_input():
    for args in (["solve", "-"], ["solve"]):
        r = norvane_cmd(*args, "-q", input="p cnf 2 2\n1 2 0\n-1 0\n")
        assert r.returncode == 10 and answer(r.stdout) == ("s SATISFIABLE", {-1, 2}) and "<stdin>" in r.stdout
    r = norvane_cmd("solve", "--help")  # the options' help comes from the engine's table
    assert r.returncode == 0 and "restart of the search" in " ".join(r.stdout.split())


def test_limits_and_proof_file_rules(tmp_path):
    # a proof only for an UNSAT answer: an existing file is left as it is for UNKNOWN (for SAT: test_solve)
    target, big = tmp_path / "p.drat", tmp_path / "big.cnf"
    target.write_text("old\n")
    big.write_text("p cnf 100000 1000000\n" + "1 -2 3 0\n-4 5 -6 0\n" * 500000)  # slower to read than the limit
    r = norvane_cmd("solve", PIGEONS, "--conflicts", "10", "--proof", target)
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN" and target.read_text() == "old\n"
    t0 = time.monotonic()  # reading counts
    r = norvane_cmd("solve", big, "--time-limit", "0.005", "--proof", target)
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN" and time.monotonic() - t0 < 8, r.stderr
    assert "time limit reached before the search" in r.stdout and target.read_text() == "old\n"
    assert leftovers(tmp_path) == []
    target.write_text("1 0\n0\n")
    c = norvane_cmd("check", PIGEONS, target)
    assert c.returncode == 1 and "s NOT VERIFIED" in c.stdout and "failed at step 1" in c.stdout
    fifo = tmp_path / "fifo"  # not a regular file: written in place, never renamed over
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    r = norvane_cmd("solve", PIGEONS, "--proof", fifo)
    reader.join(timeout=60)
    assert r.returncode == 20 and stat.S_ISFIFO(fifo.stat().st_mode) and received[0].endswith(b"\n0\n")


@pytest.mark.parametrize("args,message", [
    (["solve", PIGEONS, "--time-limit", "nan"], "--time-limit: 'nan' is not a finite number"),
    (["solve", PIGEONS, "--conflicts", "-5"], "--conflicts: '-5' is not a whole number"),
    (["solve", PIGEONS, "--slice", "0"], "--slice: '0' is not a whole number of at least 1"),
    (["solve", PIGEONS, "--portfolio", "100000"], "100000 workers is too many"),
    (["solve", PIGEONS, "--jobs", "2", "--assume", "1"], "--assume: not with --jobs above 1"),
    (["solve", PIGEONS, "--glue-keep", str(2**32)], "--glue-keep 4294967296: out of range"),
    (["solve", PIGEONS, "--var-decay", "nan"], "--var-decay: 'nan' is not a finite number"),
    (["solve", PIGEONS, "--proof", "-"], "--proof -: standard output is not supported"),
    (["solve", PIGEONS, "--proof", "{tmp}/missing/p.drat"], "cannot write"),
    (["preprocess", PIGEONS, "-o", "{tmp}"], "is a directory"),
    (["solve", PIGEONS, "--assume", "1,x"], "--assume: '1,x' is not a list of literals"),
    (["solve", "{tmp}/missing.cnf"], "missing.cnf: cannot read file"),
    (["solve"], "<stdin>:1:1: no 'p cnf' header"),  # standard input not a terminal: read, and empty
    (["solve", PIGEONS, "--restart", "Luby"], "invalid choice: 'Luby'"),
    # malformed input: the reader's message, with the file's name (every message: test_dimacs.py)
    (["solve", "{f}", "p cnf x 2\n1 0\n"], "f.cnf:1:7: expected the variable count of the header, found 'x'"),
    (["solve", "{f}", "-q", "p cnf 2147483647 1\n1 0\n"], "does not fit in memory"),
])
def test_bad_option_values_and_input(args, message, tmp_path):
    if "{f}" in args:
        *args, content = args
        (tmp_path / "f.cnf").write_text(content)
    r = norvane_cmd(*[str(a).replace("{tmp}", str(tmp_path)).replace("{f}", str(tmp_path / "f.cnf")) for a in args])
    # a formula too big for memory is found after the header line is printed
    assert r.returncode == 2 and (r.stdout == "" or message == "does not fit in memory"), r.stdout
    assert r.stderr.count("\n") == 1 and message in r.stderr and "Traceback" not in r.stderr, r.stderr
    assert leftovers(tmp_path) == []


def test_preprocess_map_round_trip(tmp_path):  # the model, or a proof, of the original formula
    out, m, proof = tmp_path / "r.cnf", tmp_path / "f.map", tmp_path / "p.drat"
    for f in (QUEENS, PIGEONS):
        assert norvane_cmd("preprocess", f, "-o", out, "--map", m).returncode == 0
        r = norvane_cmd("solve", out, "--reconstruct", m, "--proof", proof)
        status, model = answer(r.stdout)
        assert r.returncode == 10 and satisfied(QUEENS, model) and len(model) == 64 if f == QUEENS else \
            r.returncode == 20, r.stdout + r.stderr
    c = norvane_cmd("check", PIGEONS, proof)
    assert c.returncode == 0 and "s VERIFIED" in c.stdout
    r = norvane_cmd("solve", QUEENS, "--reconstruct", m)  # the map belongs to its own reduced formula only
    assert r.returncode == 2 and "is not the reduced formula of this map" in r.stderr


def test_assume(tmp_path):
    # queens on squares 1 and 2 attack each other; propagation fixes x1 of f.cnf, and preprocessing removes it
    (tmp_path / "f.cnf").write_text("p cnf 3 3\n1 0\n-1 2 3 0\n-2 -3 0\n")
    for f, assume, core in [(QUEENS, "1,2", "c core 1 2"), (QUEENS, "-1 -2", None),
                            (tmp_path / "f.cnf", "-1", "c core -1")]:
        r = norvane_cmd("solve", f, "--assume", assume, "-q")
        status, model = answer(r.stdout)
        assert (r.returncode, core in r.stdout) == (20, True) if core else \
            r.returncode == 10 and {-1, -2} <= model and satisfied(QUEENS, model)


@pytest.mark.parametrize("extra,lines", [
    (["--jobs", "1", "--slice", "500"], [b"\rc preprocess round 1: ", b"\rc conflicts "]),
    ([], [b"\rc preprocess round 2: ", b"\rc portfolio of "])])
def test_on_a_terminal(extra, lines):
    # no file and standard input a terminal: the bundled example; a progress line on the terminal
    primary, secondary = pty.openpty()
    try:
        p = subprocess.Popen([sys.executable, "-m", "norvane", "solve", *extra], stdout=subprocess.PIPE,
                             stderr=secondary, stdin=secondary)
        out = p.communicate(timeout=300)[0].decode()
        os.close(secondary)
        seen = b""
        with contextlib.suppress(OSError):  # EIO once the terminal is closed and drained
            while chunk := os.read(primary, 65536):
                seen += chunk
    finally:
        os.close(primary)
    assert p.returncode == 10 and "queens8.cnf" in out
    assert all(line in seen for line in lines) and b"elapsed" in seen, seen[:300]


@pytest.mark.parametrize("command", ["solve", "batch", "cubes"])
def test_interrupt(tmp_path, command):
    # Ctrl-C at a terminal (SIGINT to the process group) once the work runs: exit 130, no traceback, no proof
    # or temporary file, no Dask worker left; s UNKNOWN for a solve, for a batch what finished before it
    if command != "solve" and importlib.util.find_spec("distributed") is None:
        pytest.skip("Dask (norvane[distributed]) is not installed")
    psutil = pytest.importorskip("psutil") if command != "solve" else None
    hard, proof, jsonl = str(php_file(tmp_path, 11)), tmp_path / "p.drat", tmp_path / "out.jsonl"
    args, ready = {"solve": (["solve", hard, "--proof", proof, "--jobs", "1"], "c file"),  # the formula is read
                   "batch": (["batch", hard, php_file(tmp_path, 3), "--out", jsonl, "--workers", "2"], "php3.cnf"),
                   "cubes": (["solve", hard, "--cubes", "3", "--proof", proof, "--workers", "2"], "workers")}[command]
    p = subprocess.Popen([sys.executable, "-m", "norvane", *map(str, args)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, start_new_session=True)
    started = ""
    while ready not in started:  # the easy formula answered, the cluster up
        started += p.stdout.readline()
        assert p.poll() is None, p.stderr.read()
    time.sleep(1.0)
    workers = psutil.Process(p.pid).children(recursive=True) if psutil else []
    os.killpg(p.pid, signal.SIGINT)
    out, err = p.communicate(timeout=300)
    assert p.returncode == 130 and "Traceback" not in err, err
    assert not proof.exists() and leftovers(tmp_path) == []
    assert psutil is None or psutil.wait_procs(workers, timeout=60)[1] == []
    assert answer(started + out)[0] == "s UNKNOWN" if command == "solve" else command == "cubes" or \
        [json.loads(line)["answer"] for line in jsonl.read_text().splitlines()] == ["UNSATISFIABLE"]


@pytest.mark.parametrize("extra", [["--no-preprocess"], []])
def test_answer_found_before_the_interruption_is_printed(extra, monkeypatch, capsys):
    # Ctrl-C just after the search answered: the answer (the original formula's model) is printed
    from norvane import cli
    search = cli._solve_sliced
    monkeypatch.setattr(cli, "_solve_sliced", lambda *args: (search(*args), signal.raise_signal(signal.SIGINT)))
    assert cli.main(["solve", str(QUEENS), "-q", "--jobs", "1", *extra]) == 130
    status, model = answer(capsys.readouterr().out)
    assert status == "s SATISFIABLE" and satisfied(QUEENS, model) and len(model) == 64
