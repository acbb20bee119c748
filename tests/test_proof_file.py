"""Solver and Preprocessor proofs in memory or written to a DRAT text or binary file as they are made: the
forms of one run hold the same steps, Unsat proofs are accepted, a file that cannot be written raises OSError."""
import errno
import os
import random

import pytest

import norvane_native as nn
from conftest import (MSG_OK, bench, clause_db, drat_binary, drat_forms, drat_text, pigeonhole, raises, solver, stats,
                      to_steps)

# Unsat instances of the shared set that solve in well under a second.
FAST_UNSAT = ["uuf50-01", "uuf75-01", "uuf100-01", "uuf125-040", "uuf150-020", "hole6", "hole7", "dubois20",
              "pret60_25", "pret150_40", "jnh2", "ssa0432-003", "bf0432-007", "bf1355-075", "aim-100-1_6-no-1",
              "qg4-08"]


@pytest.mark.parametrize("name", FAST_UNSAT)
def test_bench_unsat_proofs_in_every_form_are_accepted(tmp_path, name):
    nvars, clauses = bench(f"{name}.cnf.xz")
    db = clause_db(clauses, nvars)
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
        raises(exc, lambda: nn.Solver().enable_proof(**kwargs), note=note)
    for path, exc, code in [(tmp_path / "missing" / "p", FileNotFoundError, errno.ENOENT),
                            (tmp_path, IsADirectoryError, errno.EISDIR), (tmp_path / "d", None, None)]:
        s = nn.Solver()
        if exc is None:
            s.enable_proof(path)
        else:
            e = raises(exc, lambda: s.enable_proof(path))
            assert e.errno == code and e.filename == str(path)  # nothing was switched on
        # memory after all (kept in the binary encoding whatever `binary` says)
        s.enable_proof(binary=True)
        s.add_clauses([[0], [1]])
        assert s.proof_steps() == [("a", [])]
        raises(ValueError, lambda: s.enable_proof(tmp_path / "late", binary=True))  # too late now
        assert not (tmp_path / "late").exists()  # refused before the file was made
    assert (tmp_path / "d").read_bytes() == b""


@pytest.mark.parametrize("call", ["add_clause", "add_clauses", "solve"])
def test_write_errors_raise_from_the_call_that_hit_them(call):
    s = nn.Solver(60)
    s.enable_proof("/dev/full", binary=call == "solve")
    rng = random.Random(3)
    if call == "solve":  # the search runs (and finds a model); its proof cannot be written
        s.add_clauses([[rng.randrange(120) for _ in range(3)] for _ in range(230)])  # nothing to write yet
    writes = {"solve": s.solve, "add_clauses": lambda: s.add_clauses([[0], [2], [1]]),
              "add_clause": lambda: (s.add_clause([0]), s.add_clause([1]))}
    e = raises(OSError, writes[call])
    assert call != "solve" or (s.ok and s.conflicts > 0)
    assert e.errno == errno.ENOSPC and e.filename == "/dev/full"
    # broken for good: every later call that would extend it refuses, changing nothing
    before = stats(s), s.ok, s.nvars
    for later in [lambda: s.add_clause([4]), lambda: s.add_clauses([[4]]), s.solve]:
        raises(OSError, later)
    assert (stats(s), s.ok, s.nvars) == before and s.check_watch_invariant() == []


def scripted(p, clauses):
    """A fixed script of adds, runs and a freeze over an eliminated variable."""
    half = len(clauses) // 2
    p.add_clauses(clauses[:half])
    p.run()
    p.freeze(0)
    out = [p.add_clauses(clauses[half:]), p.run()]
    return out + [p.units, p.eliminated_vars, p.reactivated, p.reduced()]


@pytest.mark.parametrize("binary", [False, True])
def test_preprocessor_proof_file_holds_the_steps_kept_in_memory(tmp_path, binary):
    n, clauses = pigeonhole(4)
    path = tmp_path / "pre.drat"
    kept, streamed = nn.Preprocessor(n, with_proof=True), nn.Preprocessor(n, proof_path=path, proof_binary=binary)
    assert scripted(kept, clauses) == scripted(streamed, clauses)
    assert streamed.proof_steps() == [] and len(kept.proof_steps()) > 20
    # the file is complete after each call, and the same steps with the solver's refute the input
    assert path.read_bytes() == (drat_binary if binary else drat_text)(to_steps(kept.proof_steps()))
    s = solver(kept.nvars, kept.reduced())
    assert s.solve() is False
    steps = to_steps(kept.proof_steps() + s.proof_steps())
    assert nn.check_proof(n, clauses, steps, apply_deletions=kept.reactivated == 0)[0]


def test_preprocessor_proof_file_errors_are_oserror():
    raises(FileNotFoundError, lambda: nn.Preprocessor(proof_path="/nonexistent-dir/x.drat"))
    raises(TypeError, lambda: nn.Preprocessor(proof_path=3), note="proof_path")
    raises(ValueError, lambda: nn.Preprocessor(proof_path="a\0b"))
    # /dev/full takes the open but fails every write: the call that flushes raises, and again later
    p = nn.Preprocessor(3, proof_path="/dev/full")
    p.freeze(1)
    p.freeze(2)
    p.add_clauses([[0, 2], [1, 4]])
    e = raises(OSError, p.run)
    assert e.errno == errno.ENOSPC and e.filename == "/dev/full"
    assert p.reduced() == [[2, 4]]  # the run itself was done
    raises(OSError, lambda: p.add_clause([0]))  # reactivation logs the clauses put back
    assert p.reduced() == [[2, 4], [0, 2], [1, 4], [0]]
