"""The native DIMACS CNF reader (ClauseDb.read_dimacs, parse_dimacs): accepted input gives what add_dimacs
gives clause by clause; malformed input raises the exact message with file, line and column, changing nothing."""
import array
import mmap
import os
import random
import re
import signal
import subprocess
import sys

import pytest

import norvane_native as nn
from conftest import UNSANITIZED, Boom, raises

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
    ("p cnf 9 1\n  --5 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '--5'"),
    ("p cnf 9 1\n1 - 0\n", ValueError, "2:3: expected a literal (a decimal integer), found '-'"),
    ("p cnf 9 1\n1 0 c trailing\n", ValueError, "2:5: expected a literal (a decimal integer), found 'c'"),
    ("p cnf 9 1\n1\x00 0\n", ValueError, "2:1: expected a literal (a decimal integer), found '1\\x00'"),
    ("p cnf 9 1\n" + "7" * 40 + " 0\n", ValueError,
     "2:1: literal " + "7" * 40 + " is beyond the header's 9 variables"),
    ("p cnf 3 1\n1 -4 0\n", ValueError, "2:3: literal -4 is beyond the header's 3 variables"),
    ("p cnf 3 1\n1 0\n0\n", ValueError, "3:1: more clauses than the 1 the header declares"),
    ("p cnf 3 1\n1 2\n%\n0\n", ValueError, "2:4: the last clause has no final 0"),
    ("p cnf  2147483648 0\n", MemoryError, "1:8: the header asks for 2147483648 variables: more than memory "
                                           "holds"),
    ("p cnf 1 " + "9" * 30 + "\n", ValueError,
     "1:9: the header declares " + "9" * 30 + " clauses but the formula has 0"),
])
def test_malformed_input_names_file_line_and_column_and_changes_nothing(tmp_path, text, exc, message):
    db = prefilled()
    before = snap(db)
    raises(exc, lambda: db.parse_dimacs(text.encode(), name=N), f"{N}:{message}", note="")
    assert snap(db) == before
    path = tmp_path / "x.cnf"
    path.write_text(text)
    raises(exc, lambda: db.read_dimacs(path), f"{path}:{message}")
    assert snap(db) == before


@pytest.mark.parametrize("text,raw", [  # raw: the clauses as written
    ("c hi\np cnf 3 2\n1 -2 0\n2 3 1 1 0\n", [[1, -2], [2, 3, 1, 1]]),
    ("p cnf 2 1\r\n\t1\t-2  0\r\n", [[1, -2]]),
    ("p cnf 3 1\n1\nc between the literals of a clause\n-3\n0", [[1, -3]]),
    ("p cnf 5 2\n+5 -005 0\n00 \n", [[5, -5], []]),         # a tautology (not stored), an empty clause
    ("p cnf 1 1\n1 -0\n", [[1]]),
    ("p cnf 0 0\n", []),
    ("p cnf 2 1\n1 2 0\n%\n0\n\nanything at all", [[1, 2]]),
    ("  c x\n  p cnf 10 1\n 1 0\nc last", [[1]]),  # num_vars rises to the header's count
])
def test_accepted_forms_give_what_add_dimacs_gives(text, raw, tmp_path):
    ref = nn.ClauseDb(max(2, int(re.search(r"p cnf (\d+)", text).group(1))))  # the header's variables count
    for c in [[1, -2]] + raw:  # prefilled(), then the clauses as written
        ref.add_dimacs(c)
    path = tmp_path / "f.cnf"
    path.write_text(text)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for src in [path, str(path), os.fsencode(path), text, text.encode(), bytearray(text.encode()),
                    memoryview(text.encode()), array.array("b", text.encode()), m]:
            db = prefilled()  # appended to what is there
            read = db.read_dimacs if src in (path, str(path), os.fsencode(path)) else db.parse_dimacs
            assert read(src) == len(raw) and snap(db) == snap(ref), src  # memory growth included


def test_argument_and_file_errors_change_nothing(tmp_path):
    db = prefilled()
    for call, exc, note in [(lambda: db.read_dimacs(5), TypeError, "path"),
                            (lambda: db.parse_dimacs(5), TypeError, "data"),
                            (lambda: db.parse_dimacs(b"", name=b"x"), TypeError, "name"),
                            (lambda: db.read_dimacs(tmp_path / "missing.cnf"), FileNotFoundError, ""),
                            (lambda: db.read_dimacs(tmp_path), IsADirectoryError, "")]:
        e = raises(exc, call, note=note)
        assert note or e.filename in (str(tmp_path / "missing.cnf"), str(tmp_path))
    assert snap(db) == snap(prefilled())


def test_large_input_across_buffer_boundaries(tmp_path):  # what add_dimacs gives, from a file and in memory
    rng = random.Random(5)
    clauses = [[rng.choice([-1, 1]) * rng.randint(1, 3000) for _ in range(rng.randint(1, 5))] for _ in range(80_000)]
    clauses.insert(40_000, list(range(1, 3001)) * 60)  # one line of about a megabyte
    lines = [" ".join(map(str, c)) + " 0" for c in clauses]
    ref = nn.ClauseDb(3000)
    for c in clauses:
        ref.add_dimacs(c)
    path, col = tmp_path / "big.cnf", len(lines[70_000]) + 2
    for broken in (False, True):  # then an error far into the input, found where it is however the input is cut
        lines[70_000] += " 1_0 0" * broken
        text = f"p cnf 3000 {len(clauses)}\n" + "\n".join(lines) + "\n"
        path.write_text(text)
        for load, src, name in [(nn.ClauseDb.read_dimacs, path, str(path)),
                                (nn.ClauseDb.parse_dimacs, text, "<data>")]:
            db = prefilled() if broken else nn.ClauseDb()
            if not broken:
                assert load(db, src) == len(clauses) and snap(db) == snap(ref)
                continue
            found = "expected a literal (a decimal integer), found '1_0'"
            raises(ValueError, lambda: load(db, src), f"{name}:70002:{col}: {found}")
            assert snap(db) == snap(prefilled())


def test_a_signal_stops_the_reading_and_changes_nothing():
    def stop(signum, frame):
        raise Boom

    db, old = prefilled(), signal.signal(signal.SIGALRM, stop)
    try:
        with pytest.raises(Boom):
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            db.parse_dimacs(b"p cnf 3 4000000\n" + b"1 -2 3 0\n" * 4_000_000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert snap(db) == snap(prefilled())


@UNSANITIZED
def test_a_header_beyond_an_address_space_cap_is_a_memory_error_at_once():
    code = ("import resource, time, norvane_native as nn\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\nt0 = time.perf_counter()\n"
            "try:\n    nn.ClauseDb().parse_dimacs(b'p cnf 2000000000 1\\n1 0\\n', name='big.cnf')\n"
            "except MemoryError as e:\n    print(time.perf_counter() - t0 < 1, e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout == "True big.cnf:1:7: the header asks for 2000000000 variables: more than memory holds\n"
