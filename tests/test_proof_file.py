"""Solver proofs in memory or written to a DRAT text or binary file as they are made: the three forms of
one run hold the same steps, Unsat proofs are accepted, a file that cannot be written raises OSError."""
import errno
import lzma
import os
import random
import re

import pytest

import norvane_native as nn
from conftest import BENCH, MSG_OK, drat_binary, drat_forms, drat_text, expect_notes, notes, stats, to_steps

REFUSED = re.escape("enable_proof() must be called before any clause is added: a proof that starts midway")
# Unsat instances of the shared set that solve in well under a second.
FAST_UNSAT = ["uuf50-01", "uuf75-01", "uuf100-01", "uuf125-040", "uuf150-020", "hole6", "hole7", "dubois20",
              "pret60_25", "pret150_40", "jnh2", "ssa0432-003", "bf0432-007", "bf1355-075", "aim-100-1_6-no-1",
              "qg4-08"]


@pytest.mark.parametrize("name", FAST_UNSAT)
def test_bench_unsat_proofs_in_every_form_are_accepted(tmp_path, name):
    path = BENCH / "cnf" / f"{name}.cnf.xz"
    if not path.exists():
        pytest.skip("benchmark instances not available")
    db = nn.ClauseDb()
    db.parse_dimacs(lzma.open(path).read(), name=path.name)
    runs = []  # the same run with its proof in memory and written to a text and a binary file
    for mode in ["memory", "text", "binary"]:
        s, file = nn.Solver(db.num_vars), tmp_path / f"proof.{mode}"
        s.enable_proof() if mode == "memory" else s.enable_proof(file, binary=mode == "binary")
        s.add_clauses(db)
        answer, steps = s.solve(), to_steps(s.proof_steps())
        runs.append((answer, stats(s), s.model, steps if mode == "memory" else file.read_bytes()))
    (answer, *_, steps), text, binary = runs
    assert (text[3], binary[3]) == (drat_text(steps), drat_binary(steps)) and runs[0][:3] == text[:3] == binary[:3]
    verdict = nn.check_proof(db.num_vars, db.clauses(), steps)
    assert answer is False and verdict[:3] == (True, MSG_OK, len(steps)) and verdict[9], verdict
    assert nn.check_proof(db.num_vars, db.clauses(), steps[:-1])[0] is False
    # the checker reads it in every encoding and container, with the formula as a ClauseDb
    for proof in [steps, *drat_forms(steps, random.Random(5), tmp_path)]:
        assert nn.check_proof(db.num_vars, db, proof) == verdict


def test_paths_choices_refusals_and_closing(tmp_path):
    fds = len(os.listdir("/proc/self/fd"))
    kept = [nn.Solver() for _ in range(3)]
    for s, path in zip(kept, [tmp_path / "a", str(tmp_path / "b"), os.fsencode(tmp_path / "c")]):
        assert s.enable_proof(path, True) is None and s.enable_proof(path) is None  # the last call wins
        s.add_clauses([[0], [1]])
        assert open(path, "rb").read() == b"0\n" and s.proof_steps() == []
    assert len(os.listdir("/proc/self/fd")) == fds + 3
    del kept, s  # releasing a solver closes its file
    assert len(os.listdir("/proc/self/fd")) == fds
    for kwargs, exc, note in [(dict(path=1), TypeError, "path"), (dict(path="a\0b"), ValueError, "path"),
                              (dict(binary=1), TypeError, "binary")]:
        with pytest.raises(exc) as e:
            nn.Solver().enable_proof(**kwargs)
        assert notes(e.value) == expect_notes([f"while processing '{note}'"])
    for path, exc, code in [(tmp_path / "missing" / "p", FileNotFoundError, errno.ENOENT),
                            (tmp_path, IsADirectoryError, errno.EISDIR), (tmp_path / "d", None, None)]:
        s = nn.Solver()
        if exc is None:
            s.enable_proof(path)
        else:
            with pytest.raises(exc) as e:
                s.enable_proof(path)
            assert e.value.errno == code and e.value.filename == str(path)  # nothing was switched on
        # memory after all (kept in the binary encoding whatever `binary` says)
        s.enable_proof(binary=True)
        s.add_clauses([[0], [1]])
        assert s.proof_steps() == [("a", [])]
        with pytest.raises(ValueError, match=REFUSED):  # too late now
            s.enable_proof(tmp_path / "late", binary=True)
        assert not (tmp_path / "late").exists()  # refused before the file was made
    assert (tmp_path / "d").read_bytes() == b""


@pytest.mark.parametrize("call", ["add_clause", "add_clauses", "solve"])
def test_write_errors_raise_from_the_call_that_hit_them(call):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    s = nn.Solver(60)
    s.enable_proof("/dev/full", binary=call == "solve")
    rng = random.Random(3)
    if call == "solve":  # the search runs (and finds a model); its proof cannot be written
        s.add_clauses([[rng.randrange(120) for _ in range(3)] for _ in range(230)])  # nothing to write yet
    with pytest.raises(OSError) as e:
        s.solve() if call == "solve" else s.add_clauses([[0], [2], [1]]) if call == "add_clauses" else \
            (s.add_clause([0]), s.add_clause([1]))
    assert call != "solve" or (s.ok and s.conflicts > 0)
    assert e.value.errno == errno.ENOSPC and e.value.filename == "/dev/full"
    # broken for good: every later call that would extend it refuses, changing nothing
    before = stats(s), s.ok, s.nvars
    for later in [lambda: s.add_clause([4]), lambda: s.add_clauses([[4]]), lambda: s.solve()]:
        with pytest.raises(OSError):
            later()
    assert (stats(s), s.ok, s.nvars) == before and s.check_watch_invariant() == []
