"""Preprocessor: the proof written to a file, and bulk loading with add_clauses.  Ctrl-C during run()
is in test_interrupt.py, bad input (nothing changed, no variable reactivated) in test_hostile.py.

Clauses and freezes after run() over eliminated variables (reactivation) are compared with the model,
counter by counter and proof step by proof step, in test_preprocess_reference.py; formulas fed in batches
with freezes and runs between them, each reduced formula solved, its model extended and its proof
checked, are the preprocessor road of bench/fuzz.py, run by test_fuzz.py.
"""
import random

import pytest

import norvane_native as nn
from conftest import drat_binary, drat_text, pigeonhole, raises, random_cnf, solver, to_steps


def scripted(p, clauses):
    """A fixed script of adds, runs and a freeze over an eliminated variable."""
    half = len(clauses) // 2
    p.add_clauses(clauses[:half])
    p.run()
    p.freeze(0)
    out = [p.add_clauses(clauses[half:]), p.run()]
    return out + [p.units, p.eliminated_vars, p.reactivated, p.reduced()]


@pytest.mark.parametrize("binary", [False, True])
def test_proof_file_holds_the_steps_kept_in_memory(tmp_path, binary):
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


def test_proof_file_errors_are_oserror():
    raises(FileNotFoundError, lambda: nn.Preprocessor(proof_path="/nonexistent-dir/x.drat"))
    raises(TypeError, lambda: nn.Preprocessor(proof_path=3), note="proof_path")
    raises(ValueError, lambda: nn.Preprocessor(proof_path="a\0b"))
    # /dev/full takes the open but fails every write: the call that flushes raises, and again later
    p = nn.Preprocessor(3, proof_path="/dev/full")
    p.freeze(1)
    p.freeze(2)
    p.add_clauses([[0, 2], [1, 4]])
    with pytest.raises(OSError) as e:
        p.run()
    assert e.value.errno == 28 and e.value.filename == "/dev/full"
    assert p.reduced() == [[2, 4]]  # the run itself was done
    with pytest.raises(OSError):
        p.add_clause([0])  # reactivation logs the clauses put back
    assert p.reduced() == [[2, 4], [0, 2], [1, 4], [0]]


@pytest.mark.parametrize("seed", range(5))
def test_add_clauses_is_add_clause_on_each(seed):
    n, clauses = 12, random_cnf(random.Random(seed), 12, 40)
    clauses += [[0, 1, 40], [6, 6, 2]]
    (one, bulk, from_db), db = (nn.Preprocessor(n, with_proof=True) for _ in range(3)), nn.ClauseDb()
    for c in clauses:
        one.add_clause(c)
        db.add_clause(c)
    assert bulk.add_clauses(clauses) == sum(1 for c in clauses if not any(l ^ 1 in c for l in c))
    assert from_db.add_clauses(db) == len(db) and one.nvars == bulk.nvars
    for p in (one, bulk, from_db):
        p.run()
    assert one.reduced() == bulk.reduced() == from_db.reduced()
    assert one.proof_steps() == bulk.proof_steps() == from_db.proof_steps()

