"""Preprocessor: the proof written to a file.  Elsewhere: Ctrl-C during run() in test_interrupt.py, bad
input in test_hostile.py, add_clauses against add_clause in test_fuzz.py; reactivation, counter by counter
and proof step by proof step against the model, in test_preprocess_reference.py; batches with freezes and
runs between them, each reduced formula solved, its model extended and its proof checked, in the
preprocessor road of bench/fuzz.py (test_fuzz.py)."""
import pytest

import norvane_native as nn
from conftest import drat_binary, drat_text, pigeonhole, raises, solver, to_steps


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
