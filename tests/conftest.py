import itertools
import lzma
import random
from pathlib import Path

import pytest

import norvane_native as nn

BENCH = Path(__file__).resolve().parents[2] / "shared" / "bench"


def panic_type():
    """The module's PanicException class (it is not a module attribute)."""
    try:
        nn.Solver().solve(seconds=-1.0)
    except BaseException as e:  # noqa: BLE001 - we want the class itself
        return type(e)
    raise AssertionError("expected a PanicException")


def satisfies(clauses, model):
    """Does a model (list of bools by variable) satisfy clauses of internal literals?"""
    return all(any(model[l >> 1] != bool(l & 1) for l in c) for c in clauses)


def brute_force_sat(nvars, clauses):
    for bits in itertools.product([False, True], repeat=nvars):
        if satisfies(clauses, bits):
            return True
    return False


def random_cnf(rng: random.Random, nvars, nclauses, maxlen=4, allow_empty=False):
    out = []
    for _ in range(nclauses):
        k = rng.randint(0 if allow_empty else 1, maxlen)
        out.append([rng.randrange(2 * nvars) for _ in range(k)])
    return out


def to_steps(proof_pairs):
    """(kind, dimacs) pairs of proof_steps() -> check_proof steps of internal literals."""
    return [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in proof_pairs]


def read_dimacs_xz(path):
    nvars = 0
    clauses, cur = [], []
    with lzma.open(path, "rt") as f:
        for line in f:
            if line.startswith(("c", "%")):
                continue
            if line.startswith("p"):
                nvars = int(line.split()[2])
                continue
            for tok in line.split():
                d = int(tok)
                if d == 0:
                    clauses.append(cur)
                    cur = []
                else:
                    cur.append(nn.from_dimacs(d))
    return nvars, clauses


def bench_instances():
    manifest = BENCH / "MANIFEST.tsv"
    if not manifest.exists():
        return []
    rows = manifest.read_text().splitlines()[1:]
    return [dict(zip(["file", "family", "vars", "clauses", "expected"], r.split("\t")[:5])) for r in rows]


# Conversion errors get a note naming the parameter where the interpreter has
# BaseException.add_note (3.11 and newer); elsewhere the note is skipped.
HAS_NOTES = hasattr(BaseException, "add_note")


def notes(exc):
    return list(getattr(exc, "__notes__", []))


def expect_notes(expected):
    return list(expected) if HAS_NOTES else []


@pytest.fixture
def panic():
    return panic_type()
