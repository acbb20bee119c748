"""End-to-end runs of the `norvane` command (python -m norvane): answers, exit codes, files,
bad input, piped input, the preprocessing map, interruption."""
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
    if lits:
        assert lits[-1] == 0
    assert all(l.startswith(("c ", "s ", "v ")) for l in out.splitlines() if l), out
    return status[0], set(lits[:-1])


def satisfied(path, model):
    return dimacs_satisfies(norvane.CNF.from_file(path), model)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.endswith(".tmp"))


@pytest.mark.parametrize("extra", [[], ["--preprocess"], ["--portfolio", "3"],
                                   ["-q", "--restart", "glucose", "--no-target-phase", "--ccmin", "basic"]])
def test_solve_sat(extra):
    r = norvane_cmd("solve", QUEENS, *extra)
    assert r.returncode == 10, r.stderr
    status, model = answer(r.stdout)
    assert status == "s SATISFIABLE" and satisfied(QUEENS, model) and len(model) == 64


@pytest.mark.parametrize("extra", [[], ["--preprocess"], ["--portfolio", "2"], ["--proof-format", "binary"],
                                   ["--preprocess", "--proof-format", "binary"]])
def test_unsat_proof_written_and_checked(extra, tmp_path):
    proof = tmp_path / "p.drat"
    r = norvane_cmd("solve", PIGEONS, "--proof", proof, "--check", *extra)
    assert r.returncode == 20, r.stdout + r.stderr
    assert answer(r.stdout)[0] == "s UNSATISFIABLE"
    assert "empty clause derived and every step verified" in r.stdout
    if "binary" not in extra:
        lines = proof.read_text().splitlines()
        assert lines[-1] == "0" and all(l.endswith(" 0") or l in ("0", "d 0") for l in lines)
    c = norvane_cmd("check", PIGEONS, proof)
    assert c.returncode == 0 and "s VERIFIED" in c.stdout and leftovers(tmp_path) == []
    proof.write_text("1 0\n0\n")
    c = norvane_cmd("check", PIGEONS, proof)
    assert c.returncode == 1 and "s NOT VERIFIED" in c.stdout and "failed at step 1" in c.stdout


@pytest.mark.parametrize("args", [["solve", "-"], ["solve"]])
def test_piped_input(args):
    r = norvane_cmd(*args, "-q", input="p cnf 2 2\n1 2 0\n-1 0\n")
    assert r.returncode == 10 and answer(r.stdout) == ("s SATISFIABLE", {-1, 2})
    assert "<stdin>" in r.stdout


def test_bundled_example_only_from_a_terminal():
    primary, secondary = pty.openpty()
    try:
        r = norvane_cmd("solve", "-q", stdin=secondary)
    finally:
        os.close(primary)
        os.close(secondary)
    assert r.returncode == 10 and "queens8.cnf" in r.stdout
    # not a terminal and empty: standard input is read, and it holds no formula
    r = norvane_cmd("solve")
    assert r.returncode == 2 and "<stdin>" in r.stderr


def test_limits_give_unknown(tmp_path):
    r = norvane_cmd("solve", PIGEONS, "--conflicts", "10")
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN"
    r = norvane_cmd("solve", PIGEONS, "--time-limit", "0", "--proof", tmp_path / "p.drat")
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN"
    assert list(tmp_path.iterdir()) == []  # no proof for an answer that is not UNSAT


def test_time_limit_counts_reading(tmp_path):
    # a formula that takes far longer to read than the limit
    big = tmp_path / "big.cnf"
    with open(big, "w") as f:
        f.write("p cnf 100000 1000000\n")
        f.write("1 -2 3 0\n-4 5 -6 0\n" * 500000)
    t0 = time.monotonic()
    r = norvane_cmd("solve", big, "--time-limit", "0.005")
    assert r.returncode == 0 and answer(r.stdout)[0] == "s UNKNOWN", r.stderr
    assert "time limit reached before the search" in r.stdout
    assert time.monotonic() - t0 < 8


def test_proof_file_rules(tmp_path):
    target = tmp_path / "p.drat"
    target.write_text("old\n")
    r = norvane_cmd("solve", QUEENS, "--proof", target)  # satisfiable: no proof
    assert r.returncode == 10 and target.read_text() == "old\n" and leftovers(tmp_path) == []
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
    (["solve", PIGEONS, "--jobs", "0"], "--jobs: '0' is not a whole number of at least 1"),
    (["solve", PIGEONS, "--jobs", "2", "--assume", "1"], "--assume: not with --jobs above 1"),
    (["solve", PIGEONS, "--glue-keep", str(2**32)], "--glue-keep 4294967296: out of range"),
    (["solve", PIGEONS, "--var-decay", "nan"], "--var-decay: 'nan' is not a finite number"),
    (["solve", PIGEONS, "--proof", "-"], "--proof -: standard output is not supported"),
    (["solve", PIGEONS, "--proof", "{tmp}"], "is a directory"),
    (["solve", PIGEONS, "--proof", "{tmp}/missing/p.drat"], "cannot write"),
    (["preprocess", PIGEONS, "-o", "{tmp}"], "is a directory"),
    (["solve", PIGEONS, "--assume", "1,x"], "--assume: '1,x' is not a list of literals"),
    (["solve", "{tmp}/missing.cnf"], "missing.cnf: cannot read file"),
    (["solve", PIGEONS, "--restart", "Luby"], "invalid choice: 'Luby'"),
    # malformed input: the reader's message, with the file's name
    (["solve", "{f}", "p cnf x 2\n1 0\n"], "f.cnf:1:7: expected the variable count of the header, found 'x'"),
    (["solve", "{f}", "c only\n"], "f.cnf:2:1: no 'p cnf' header"),
    (["solve", "{f}", "1 2 0\np cnf 2 1\n"], "f.cnf:1:1: a clause before the 'p cnf' header"),
    (["solve", "{f}", "p cnf 2 1\n1 3 0\n"], "f.cnf:2:3: literal 3 is beyond the header's 2 variables"),
    (["solve", "{f}", "p cnf 2 2\n1 2 0\n-1\n"], "f.cnf:3:3: the last clause has no final 0"),
    (["solve", "{f}", "p cnf 20 1\n1_0 0\n"], "f.cnf:2:1: expected a literal (a decimal integer), found '1_0'"),
    (["solve", "{f}", "p cnf 3000000000 1\n1 0\n"],
     "f.cnf:1:7: the header asks for 3000000000 variables: more than memory holds"),
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


def test_preprocess_map_round_trip(tmp_path):
    """A model of the reduced formula maps back to a model of the original."""
    out, m = tmp_path / "reduced.cnf", tmp_path / "q.map"
    r = norvane_cmd("preprocess", QUEENS, "-o", out, "--map", m)
    assert r.returncode == 0, r.stderr
    r = norvane_cmd("solve", out, "--reconstruct", m, "-q")
    assert r.returncode == 10, r.stderr
    status, model = answer(r.stdout)
    assert satisfied(QUEENS, model) and len(model) == 64
    # the map belongs to its own reduced formula only
    r = norvane_cmd("solve", PIGEONS, "--reconstruct", m)
    assert r.returncode == 2 and "is not the reduced formula of this map" in r.stderr
    # an unsatisfiable one, with a proof of the original formula
    out2, m2, proof = tmp_path / "r2.cnf", tmp_path / "p.map", tmp_path / "p.drat"
    assert norvane_cmd("preprocess", PIGEONS, "-o", out2, "--map", m2).returncode == 0
    r = norvane_cmd("solve", out2, "--reconstruct", m2, "--proof", proof, "--check")
    assert r.returncode == 20 and "every step verified" in r.stdout
    assert norvane_cmd("check", PIGEONS, proof).returncode == 0


def test_stats_json(tmp_path):
    stats = tmp_path / "s.json"
    r = norvane_cmd("solve", PIGEONS, "--stats-json", stats, "-q")
    assert r.returncode == 20
    data = json.loads(stats.read_text())
    assert data["answer"] == "UNSATISFIABLE" and data["exit_code"] == 20 and data["clauses"] == 133
    assert data["search"]["conflicts"] > 0 and set(data["times"]) >= {"parse", "solve"}


@pytest.mark.parametrize("extra", [[], ["--preprocess"]])
def test_assume(extra, tmp_path):
    # queens on squares 1 and 2 attack each other
    r = norvane_cmd("solve", QUEENS, "--assume", "1,2", "-q", *extra)
    assert r.returncode == 20 and "c core 1 2" in r.stdout
    r = norvane_cmd("solve", QUEENS, "--assume", "-1 -2", "-q", *extra)
    status, model = answer(r.stdout)
    assert r.returncode == 10 and {-1, -2} <= model and satisfied(QUEENS, model)
    # variable 1 is fixed by propagation, so the preprocessor takes it out of the formula
    f = tmp_path / "f.cnf"
    f.write_text("p cnf 3 3\n1 0\n-1 2 3 0\n-2 -3 0\n")
    r = norvane_cmd("solve", f, "--assume", "-1", *extra)
    assert r.returncode == 20 and "c core -1" in r.stdout


@pytest.mark.parametrize("sub", ["solve", "check", "preprocess"])
def test_help(sub):
    r = norvane_cmd(sub, "--help")
    assert r.returncode == 0 and "usage:" in r.stdout
    if sub == "solve":
        assert "restart of the search" in " ".join(r.stdout.split())


@pytest.mark.parametrize("extra,lines", [(["--jobs", "1", "--slice", "500"], [b"\rc preprocess round 1: ", b"\rc conflicts "]),
                                         ([], [b"\rc preprocess round 2: ", b"\rc portfolio of "])])
def test_progress_line_on_a_terminal(extra, lines, tmp_path):
    primary, secondary = pty.openpty()
    try:
        p = subprocess.Popen([sys.executable, "-m", "norvane", "solve", str(php_file(tmp_path, 8)), *extra],
                             stdout=subprocess.PIPE, stderr=secondary, stdin=subprocess.DEVNULL)
        p.wait(timeout=300)
        os.close(secondary)
        seen = b""
        while True:
            try:
                chunk = os.read(primary, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(primary)
    assert p.returncode == 20
    assert all(line in seen for line in lines) and b"elapsed" in seen, seen[:300]


@pytest.mark.parametrize("command", ["solve", "check"])
def test_interrupt(tmp_path, command):
    """Ctrl-C: exit 130 with s UNKNOWN, no proof file, no temporary file left; an interrupted check
    never exits 0."""
    proof = tmp_path / "p.drat"
    args = ["solve", php_file(tmp_path, 11), "--proof", proof, "--jobs", "1"]
    if command == "check":
        assert norvane_cmd("solve", php_file(tmp_path, 8), "--proof", proof, "-q").returncode == 20
        args = ["check", php_file(tmp_path, 8), proof]
    p = subprocess.Popen([sys.executable, "-m", "norvane", *map(str, args)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    started = p.stdout.readline() + p.stdout.readline()  # the formula is read: the work starts
    assert ("c norvane" if command == "solve" else "checking") in started, started
    time.sleep(1.0 if command == "solve" else 0.3)
    t0 = time.monotonic()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=300)
    if command == "check":  # either the check finished first (accepted: 0) or it was interrupted (130)
        assert (p.returncode == 0 and "s VERIFIED" in out) or (p.returncode == 130 and "s UNKNOWN" in out), (out, err)
        return
    assert p.returncode == 130, err
    assert answer(started + out)[0] == "s UNKNOWN" and "Traceback" not in err
    assert not proof.exists() and leftovers(tmp_path) == []
    print(f"solve interrupt latency {time.monotonic() - t0:.2f}s")


@pytest.mark.parametrize("extra", [["--no-preprocess"], []])
def test_answer_found_before_the_interruption_is_printed(extra, monkeypatch, capsys):
    """Ctrl-C just after the search answered: the answer (the original formula's model) is printed."""
    from norvane import cli
    search = cli._solve_sliced

    def answer_then_interrupt(*args):
        search(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "_solve_sliced", answer_then_interrupt)
    assert cli.main(["solve", str(QUEENS), "-q", "--jobs", "1", *extra]) == 130
    status, model = answer(capsys.readouterr().out)
    assert status == "s SATISFIABLE" and satisfied(QUEENS, model) and len(model) == 64
