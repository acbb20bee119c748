"""The native DIMACS CNF reader: ClauseDb.read_dimacs (files) and ClauseDb.parse_dimacs (content).

Accepted input must give what add_dimacs clause by clause gives; malformed input must raise the exact
message naming file, line and column, and leave the ClauseDb as it was."""
import array
import json
import lzma
import mmap
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import norvane_native as nn
from conftest import BENCH, bench_instances, expect_notes, notes, read_dimacs_xz

N = "f.cnf"


def snap(db):
    return db.clauses(), db.num_vars, db.num_clauses, db.memory_bytes


def prefilled():
    db = nn.ClauseDb(2)
    db.add_clause([0, 3])
    return db


@pytest.mark.parametrize("text,exc,message", [
    ("", ValueError, "1:1: no 'p cnf' header"),
    ("c only a comment\n", ValueError, "2:1: no 'p cnf' header"),
    ("1 2 0\n", ValueError, "1:1: a clause before the 'p cnf' header"),
    ("c x\n0\np cnf 1 1\n", ValueError, "2:1: a clause before the 'p cnf' header"),
    ("p cnf 3\n", ValueError, "1:8: the header ends before its clause count"),
    ("p cnf\n", ValueError, "1:6: the header ends before its variable count"),
    ("p\n", ValueError, "1:2: the header ends before 'cnf'"),
    ("p dnf 3 1\n", ValueError, "1:3: expected 'cnf' after 'p', found 'dnf'"),
    ("pcnf 3 1\n", ValueError, "1:1: expected 'p cnf VARIABLES CLAUSES', found 'pcnf'"),
    ("p cnf -3 1\n", ValueError, "1:7: expected the variable count of the header, found '-3'"),
    ("p cnf 3 1.0\n", ValueError, "1:9: expected the clause count of the header, found '1.0'"),
    ("p cnf 3 1 7\n1 0\n", ValueError, "1:11: unexpected '7' after the header"),
    ("p cnf 3 1\n1 0\n\n   p cnf 3 1\n", ValueError, "4:4: a second 'p' header line"),
    ("p cnf 3 1\n1 1_0 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '1_0'"),
    ("p cnf 9 1\n  --5 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '--5'"),
    ("p cnf 9 1\n+-3 0\n", ValueError, "2:1: expected a literal (a decimal integer), found '+-3'"),
    ("p cnf 9 1\n1.0 0\n", ValueError, "2:1: expected a literal (a decimal integer), found '1.0'"),
    ("p cnf 9 1\n1 - 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '-'"),
    ("p cnf 9 1\n1 0x1 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '0x1'"),
    ("p cnf 9 1\n1 0 c trailing\n", ValueError, "2:5: expected a literal (a decimal integer), found 'c'"),
    ("p cnf 9 1\n1\x00 0\n", ValueError, "2:1: expected a literal (a decimal integer), found '1\\x00'"),
    ("p cnf 9 1\n" + "7" * 40 + " 0\n", ValueError,
     "2:1: literal " + "7" * 40 + " is beyond the header's 9 variables"),
    ("p cnf 3 1\n1 -4 0\n", ValueError, "2:3: literal -4 is beyond the header's 3 variables"),
    ("p cnf 0 1\n1 0\n", ValueError, "2:1: literal 1 is beyond the header's 0 variables"),
    ("p cnf 3 2\n1 0\n", ValueError, "1:9: the header declares 2 clauses but the formula has 1"),
    ("p cnf 3 2\n1 0\n%\n2 0\n", ValueError, "1:9: the header declares 2 clauses but the formula has 1"),
    ("p cnf 3 1\n1 0\n2 0\n", ValueError, "3:1: more clauses than the 1 the header declares"),
    ("p cnf 3 1\n1 0\n0\n", ValueError, "3:1: more clauses than the 1 the header declares"),
    ("p cnf 3 1\n1 -2", ValueError, "2:5: the last clause has no final 0"),
    ("p cnf 3 1\n1 2\n%\n0\n", ValueError, "2:4: the last clause has no final 0"),
    ("p cnf 99999999999 1\n1 0\n", MemoryError, "1:7: the header asks for 99999999999 variables: more than "
                                                "memory holds"),
    ("p cnf  2147483648 0\n", MemoryError, "1:8: the header asks for 2147483648 variables: more than memory "
                                           "holds"),
    ("p cnf 1 " + "9" * 30 + "\n", ValueError,
     "1:9: the header declares " + "9" * 30 + " clauses but the formula has 0"),
])
def test_malformed_input_names_file_line_and_column_and_changes_nothing(tmp_path, text, exc, message):
    db = prefilled()
    before = snap(db)
    with pytest.raises(exc) as e:
        db.parse_dimacs(text.encode(), name=N)
    assert str(e.value) == f"{N}:{message}" and notes(e.value) == []
    assert snap(db) == before
    path = tmp_path / "x.cnf"
    path.write_text(text)
    with pytest.raises(exc) as e:
        db.read_dimacs(path)
    assert str(e.value) == f"{path}:{message}"
    assert snap(db) == before


@pytest.mark.parametrize("text,clauses,nvars", [
    ("c hi\np cnf 3 2\n1 -2 0\n2 3 1 1 0\n", [[0, 3], [2, 4, 0]], 3),
    ("p cnf 2 1\r\n\t1\t-2  0\r\n", [[0, 3]], 2),
    ("p cnf 3 1\n1\nc between the literals of a clause\n-3\n0", [[0, 5]], 3),
    ("p cnf 5 2\n+5 -005 0\n00 \n", [[]], 5),         # a tautology (not stored), then an empty clause
    ("p cnf 1 1\n1 -0\n", [[0]], 1),
    ("p cnf 0 0\n", [], 0),
    ("p cnf 2 1\n1 2 0\n%\n0\n\nanything at all", [[0, 2]], 2),
    ("  c x\n  p cnf 10 1\n 1 0\nc last", [[0]], 10),   # num_vars is the header's count
])
def test_accepted_forms(text, clauses, nvars):
    # what add_dimacs gives clause by clause, memory growth included
    body = text.split("%")[0].splitlines()
    lits = [int(t) for line in body if line.strip()[:1] not in ("c", "p") for t in line.split()]
    db = nn.ClauseDb()
    assert db.parse_dimacs(text) == lits.count(0)
    ref = nn.ClauseDb(nvars)
    cur = []
    for d in lits:
        if d == 0:
            ref.add_dimacs(cur)
            cur = []
        else:
            cur.append(d)
    assert db.clauses() == clauses and snap(db) == snap(ref)


def test_return_value_appending_and_input_kinds(tmp_path):
    text = "p cnf 6 3\n-5 1 0\n1 -1 0\n2 0\n"
    path = tmp_path / "f.cnf"
    path.write_text(text)
    ref = prefilled()
    for c in [[-5, 1], [1, -1], [2], [6, -6]]:  # the header's 6 variables count, the tautology stores nothing
        ref.add_dimacs(c)
    sources = [("read", path), ("read", str(path)), ("read", os.fsencode(path)), ("parse", text),
               ("parse", text.encode()), ("parse", bytearray(text.encode())), ("parse", memoryview(text.encode())),
               ("parse", array.array("b", text.encode()))]
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        sources.append(("parse", m))
        for how, src in sources:
            db = prefilled()  # appended to what is there
            assert (db.read_dimacs(src) if how == "read" else db.parse_dimacs(src)) == 3
            assert snap(db) == snap(ref), (how, src)
    # an empty store takes the formula over whole: the same as filling it clause by clause
    db, ref = nn.ClauseDb(7), nn.ClauseDb(7)
    db.read_dimacs(path)
    for c in [[-5, 1], [1, -1], [2]]:
        ref.add_dimacs(c)
    assert snap(db) == snap(ref) and db.num_vars == 7


@pytest.mark.parametrize("call,arg,exc,note", [
    ("read_dimacs", 5, TypeError, "path"), ("read_dimacs", "a\0b", ValueError, "path"),
    ("parse_dimacs", 5, TypeError, "data"), ("parse_dimacs", [112], TypeError, "data"),
])
def test_argument_errors(call, arg, exc, note):
    db = prefilled()
    with pytest.raises(exc) as e:
        getattr(db, call)(arg)
    assert notes(e.value) == expect_notes([f"while processing '{note}'"])
    with pytest.raises(TypeError) as e:
        db.parse_dimacs(b"p cnf 0 0\n", name=b"x")
    assert notes(e.value) == expect_notes(["while processing 'name'"])
    assert snap(db) == snap(prefilled())


def test_unreadable_files(tmp_path):
    db = prefilled()
    for path, err in [(tmp_path / "missing.cnf", FileNotFoundError), (tmp_path, IsADirectoryError)]:
        with pytest.raises(err) as e:
            db.read_dimacs(path)
        assert e.value.filename == str(path)
    assert snap(db) == snap(prefilled())


def test_bench_set_round_trip(tmp_path):
    rows = [r for r in bench_instances() if (BENCH / "cnf" / r["file"]).exists()]
    if not rows:
        pytest.skip("benchmark instances not available")
    for row in rows:
        path = BENCH / "cnf" / row["file"]
        nvars, clauses = read_dimacs_xz(path)
        ref = nn.ClauseDb(nvars)
        for c in clauses:
            ref.add_clause(c)
        db = nn.ClauseDb()
        assert db.parse_dimacs(lzma.open(path).read(), name=row["file"]) == int(row["clauses"])
        assert snap(db) == snap(ref), row["file"]
        # written back and read again, as a file
        out = tmp_path / "again.cnf"
        out.write_text(f"p cnf {db.num_vars} {len(db)}\n" + "".join(
            " ".join(str(nn.to_dimacs(l)) for l in c) + " 0\n" for c in db.clauses()))
        again = nn.ClauseDb()
        assert again.read_dimacs(out) == len(db) and snap(again) == snap(db)


def test_large_input_across_buffer_boundaries(tmp_path):
    rng = random.Random(5)
    nvars = 3000
    clauses = [[rng.choice([-1, 1]) * rng.randint(1, nvars) for _ in range(rng.randint(1, 5))]
               for _ in range(80_000)]
    clauses.insert(40_000, list(range(1, nvars + 1)) * 60)  # one line of about a megabyte
    lines = [" ".join(map(str, c)) + " 0" for c in clauses]
    text = f"p cnf {nvars} {len(clauses)}\n" + "\n".join(lines) + "\n"
    assert len(text) > 2 * 2**20
    path = tmp_path / "big.cnf"
    path.write_text(text)
    ref = nn.ClauseDb(nvars)
    for c in clauses:
        ref.add_dimacs(c)
    for load in [lambda db: db.read_dimacs(path), lambda db: db.parse_dimacs(text)]:
        db = nn.ClauseDb()
        assert load(db) == len(clauses) and snap(db) == snap(ref)
    # an error far into the file is found where it is, whichever way the input is cut
    bad = lines[:]
    bad[70_000] = bad[70_000].replace(" 0", " 1_0 0", 1) if " " in bad[70_000] else "1_0 0"
    text = f"p cnf {nvars} {len(clauses)}\n" + "\n".join(bad) + "\n"
    path.write_text(text)
    col = bad[70_000].index("1_0") + 1
    for load, name in [(lambda db: db.read_dimacs(path), str(path)), (lambda db: db.parse_dimacs(text), "<data>")]:
        db = prefilled()
        with pytest.raises(ValueError) as e:
            load(db)
        assert str(e.value) == f"{name}:{70_002}:{col}: expected a literal (a decimal integer), found '1_0'"
        assert snap(db) == snap(prefilled())


def test_a_signal_stops_the_reading_and_changes_nothing():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    text = b"p cnf 3 4000000\n" + b"1 -2 3 0\n" * 4_000_000
    db = prefilled()
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        t0 = time.perf_counter()
        with pytest.raises(Stop):
            db.parse_dimacs(text)
        assert time.perf_counter() - t0 < 5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert snap(db) == snap(prefilled())


CAPPED = r'''
import json, resource, sys, time
import norvane_native as nn
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
db = nn.ClauseDb()
t0 = time.perf_counter()
try:
    db.parse_dimacs(b"p cnf 2000000000 1\n1 0\n", name="big.cnf")
except MemoryError as e:
    print(json.dumps([str(e), len(db), time.perf_counter() - t0]))
'''


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves far more address space than the cap")
def test_a_header_beyond_an_address_space_cap_is_a_memory_error_at_once():
    out = subprocess.run([sys.executable, "-c", CAPPED], capture_output=True, text=True, timeout=60)
    message, size, secs = json.loads(out.stdout)
    assert message == "big.cnf:1:7: the header asks for 2000000000 variables: more than memory holds"
    assert size == 0 and secs < 1.0
