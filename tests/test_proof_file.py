"""Solver proofs kept in memory or written to a DRAT text or binary file as they are made.

The three forms of one run must hold the same steps, every Unsat proof must be accepted by check_proof,
and a file that cannot be opened or written must raise OSError from the call concerned."""
import errno
import lzma
import os
import random
import re
from pathlib import Path

import pytest

import norvane_native as nn
from conftest import BENCH, drat_steps, expect_notes, notes, random_cnf, to_steps

REFUSED = ("enable_proof() must be called before any clause is added: a proof that starts midway through the "
           "formula is not a proof")
# Unsat instances of the shared set that solve in well under a second.
FAST_UNSAT = ["uuf50-01", "uuf75-01", "uuf100-01", "uuf125-040", "uuf150-020", "hole6", "hole7", "dubois20",
              "pret60_25", "pret150_40", "jnh2", "ssa0432-003", "bf0432-007", "bf1355-075", "aim-100-1_6-no-1",
              "qg4-08"]


def counters(s):
    return (s.conflicts, s.decisions, s.propagations, s.restarts, s.learned, s.learned_lits, s.deleted)


def solve_three_ways(tmp_path, nvars, clauses):
    """The same run with the proof in memory, in a text file and in a binary file: the same answer and
    counters, and the same steps in all three forms.  Returns (answer, steps)."""
    runs = []
    for mode in ["memory", "text", "binary"]:
        s = nn.Solver(nvars)
        path = tmp_path / f"proof.{mode}"
        if mode == "memory":
            s.enable_proof()
        else:
            s.enable_proof(path, binary=mode == "binary")
        s.add_clauses(clauses)
        answer = s.solve()
        if mode == "memory":
            steps = to_steps(s.proof_steps())
        else:
            assert s.proof_steps() == []
            steps = drat_steps(path.read_bytes(), binary=mode == "binary")  # written out by solve()
        runs.append((answer, counters(s), s.model, steps))
    assert runs[0] == runs[1] == runs[2]
    return runs[0][0], runs[0][3]


@pytest.mark.parametrize("name", FAST_UNSAT)
def test_bench_unsat_proofs_in_every_form_are_accepted(tmp_path, name):
    path = BENCH / "cnf" / f"{name}.cnf.xz"
    if not path.exists():
        pytest.skip("benchmark instances not available")
    db = nn.ClauseDb()
    db.parse_dimacs(lzma.open(path).read(), name=path.name)
    answer, steps = solve_three_ways(tmp_path, db.num_vars, db)
    assert answer is False and steps[-1] == (False, [])
    verdict = nn.check_proof(db.num_vars, db.clauses(), steps)
    assert verdict[0] and verdict[9], verdict


def test_random_formulas_proofs_in_every_form(tmp_path):
    rng = random.Random(12)
    answers = set()
    for _ in range(40):
        nvars = rng.randint(1, 25)
        clauses = random_cnf(rng, nvars, rng.randint(0, 6 * nvars), maxlen=4, allow_empty=rng.random() < 0.1)
        answer, steps = solve_three_ways(tmp_path, nvars, clauses)
        verdict = nn.check_proof(nvars, clauses, steps, check_rat=False)
        assert verdict[8] == -1 and verdict[0] is (answer is False), verdict
        answers.add(answer)
    assert answers == {True, False}


def test_enable_proof_arguments(tmp_path):
    for path in [tmp_path / "a.drat", str(tmp_path / "b.drat"), os.fsencode(tmp_path / "c.drat")]:
        s = nn.Solver()
        assert s.enable_proof(path) is None and s.enable_proof(path, True) is None  # again: harmless
        s.add_clauses([[0], [1]])
        assert Path(os.fsdecode(path)).read_bytes() == b"a\x00" and s.proof_steps() == []
    # binary without a path: the memory proof is binary anyway
    s = nn.Solver()
    s.enable_proof(binary=True)
    s.add_clauses([[0], [1]])
    assert s.proof_steps() == [("a", [])]
    # the last call wins: a file, then memory (the file stays empty), and the other way round
    s = nn.Solver()
    s.enable_proof(tmp_path / "first.drat")
    s.enable_proof()
    s.add_clauses([[0], [1]])
    assert s.proof_steps() == [("a", [])] and (tmp_path / "first.drat").read_bytes() == b""
    s = nn.Solver()
    s.enable_proof()
    s.enable_proof(tmp_path / "second.drat")
    s.add_clauses([[0], [1]])
    assert s.proof_steps() == [] and (tmp_path / "second.drat").read_text() == "0\n"


@pytest.mark.parametrize("kwargs,exc,note", [
    (dict(path=1), TypeError, "path"), (dict(path=[b"x"]), TypeError, "path"),
    (dict(path="a\0b"), ValueError, "path"), (dict(path=None, binary=1), TypeError, "binary"),
])
def test_enable_proof_conversion_errors(tmp_path, kwargs, exc, note):
    s = nn.Solver()
    with pytest.raises(exc) as e:
        s.enable_proof(**kwargs)
    assert notes(e.value) == expect_notes([f"while processing '{note}'"])
    s.add_clauses([[0], [1]])
    assert s.proof_steps() == []


def test_refusal_and_open_errors_change_nothing(tmp_path):
    s = nn.Solver()
    s.add_clause([0, 2])
    target = tmp_path / "late.drat"
    with pytest.raises(ValueError, match=re.escape(REFUSED)):
        s.enable_proof(target)
    assert not target.exists()  # refused before the file was made
    t = nn.Solver()
    t.solve()
    with pytest.raises(ValueError, match=re.escape(REFUSED)):
        t.enable_proof(target, binary=True)
    assert not target.exists()

    for path, exc, code in [(tmp_path / "missing" / "p.drat", FileNotFoundError, errno.ENOENT),
                            (tmp_path, IsADirectoryError, errno.EISDIR)]:
        s = nn.Solver()
        with pytest.raises(exc) as e:
            s.enable_proof(path)
        assert e.value.errno == code and e.value.filename == str(path)
        # nothing changed: logging can still be switched on, and nothing was switched on
        s.add_clause([0])
        s.add_clause([1])
        assert s.proof_steps() == []
        t = nn.Solver()
        with pytest.raises(exc):
            t.enable_proof(path)
        t.enable_proof()
        t.add_clauses([[0], [1]])
        assert t.proof_steps() == [("a", [])]


@pytest.mark.parametrize("call", ["add_clause", "add_clauses", "solve"])
def test_write_errors_raise_from_the_call_that_hit_them(call):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    nvars = 60
    s = nn.Solver(nvars)
    s.enable_proof("/dev/full", binary=call == "solve")
    if call == "solve":
        rng = random.Random(3)
        s.add_clauses([[rng.randrange(2 * nvars) for _ in range(3)] for _ in range(230)])  # nothing to write yet
        with pytest.raises(OSError) as e:
            s.solve()
        assert s.ok and s.conflicts > 0  # the search ran (and found a model); its proof could not be written
    elif call == "add_clauses":
        with pytest.raises(OSError) as e:
            s.add_clauses([[0], [2], [1]])
        assert s.ok is False
    else:
        s.add_clause([0])
        with pytest.raises(OSError) as e:
            s.add_clause([1])
    assert e.value.errno == errno.ENOSPC and e.value.filename == "/dev/full"
    # the proof is broken for good: every later call that would extend it refuses, changing nothing
    before = counters(s), s.ok, s.nvars
    for later in [lambda: s.add_clause([4]), lambda: s.add_clauses([[4]]), lambda: s.solve()]:
        with pytest.raises(OSError) as again:
            later()
        assert again.value.errno == errno.ENOSPC
    assert (counters(s), s.ok, s.nvars) == before
    assert s.proof_steps() == [] and s.check_watch_invariant() == []


def test_proof_file_is_closed_when_the_solver_is_released(tmp_path):
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("no /proc/self/fd")
    before = len(os.listdir("/proc/self/fd"))
    solvers = []
    for k in range(5):
        s = nn.Solver()
        s.enable_proof(tmp_path / f"{k}.drat")
        s.add_clause([0, 2])
        solvers.append(s)
    assert len(os.listdir("/proc/self/fd")) == before + 5
    del solvers, s
    assert len(os.listdir("/proc/self/fd")) == before
