import itertools
import lzma
import os
import random
import threading
import time
from pathlib import Path

import pytest

import norvane_native as nn

# The shared instance set beside the checkout, or NORVANE_BENCH (as for bench/).
BENCH = Path(os.environ.get("NORVANE_BENCH", Path(__file__).resolve().parents[2] / "shared" / "bench"))


def panic_type():
    """The module's PanicException class."""
    return nn.PanicException


def satisfies(clauses, model):
    """Does a model (list of bools by variable) satisfy clauses of internal literals?"""
    return all(any(model[l >> 1] != bool(l & 1) for l in c) for c in clauses)


def random_formula(rng: random.Random, nvars, nclauses, minlen=1, maxlen=3):
    """Clauses of signed DIMACS literals."""
    return [[rng.choice((1, -1)) * rng.randint(1, nvars) for _ in range(rng.randint(minlen, maxlen))]
            for _ in range(nclauses)]


def dimacs_models(nvars, clauses, fixed=()):
    """Every model (as a set of signed literals) of DIMACS clauses, by brute force."""
    out = []
    for bits in itertools.product((False, True), repeat=nvars):
        m = {v if b else -v for v, b in enumerate(bits, 1)}
        if set(fixed) <= m and all(any(l in m for l in c) for c in clauses):
            out.append(m)
    return out


def dimacs_satisfies(clauses, model):
    m = set(model)
    return all(any(l in m for l in c) for c in clauses)


def brute_force_sat(nvars, clauses):
    for bits in itertools.product([False, True], repeat=nvars):
        if satisfies(clauses, bits):
            return True
    return False


def random_cnf(rng: random.Random, nvars, nclauses, maxlen=4, allow_empty=False, minlen=1):
    out = []
    for _ in range(nclauses):
        k = rng.randint(0 if allow_empty else minlen, maxlen)
        out.append([rng.randrange(2 * nvars) for _ in range(k)])
    return out


# (name, default) of the Solver's 21 constructor parameters, in declaration order; a portfolio
# worker mapping has the same fields but nvars.
SOLVER_PARAMS = [
    ("nvars", 0), ("restart", "luby"), ("ccmin", "deep"), ("phase_saving", True), ("init_phase", False),
    ("target_phase", True), ("target_reset", 0), ("walk_flips", 20000), ("walk_interval", 1),
    ("walk_patience", 3), ("walk_min_conflicts", 5000), ("var_decay", 0.8), ("var_decay_max", 0.95),
    ("cla_decay", 0.999), ("luby_base", 100.0), ("first_reduce", 2000), ("reduce_inc", 300),
    ("glue_keep", 2), ("block_restart", True), ("rnd_freq", 0.0), ("rnd_seed", 91648253),
]


def pigeonhole(holes):
    """holes + 1 pigeons in `holes` holes (unsatisfiable): (nvars, clauses), variable p * holes + h."""
    cls = [[2 * (p * holes + h) for h in range(holes)] for p in range(holes + 1)]
    cls += [[2 * (p * holes + h) + 1, 2 * (q * holes + h) + 1]
            for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    return (holes + 1) * holes, cls


def pigeonhole_dimacs(holes):
    """pigeonhole(holes) with signed DIMACS literals."""
    nvars, cls = pigeonhole(holes)
    return nvars, [[nn.to_dimacs(l) for l in c] for c in cls]


def assert_lock_released(call):
    """Repeats `call` for a quarter of a second while another thread ticks: the ticks must land
    inside the calls, so the interpreter lock is released during the native work."""
    stamps, stop, windows = [], threading.Event(), []

    def ticker():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0002)

    th = threading.Thread(target=ticker)
    th.start()
    try:
        while sum(b - a for a, b in windows) < 0.25:
            t0 = time.perf_counter()
            call()
            windows.append((t0, time.perf_counter()))
    finally:
        stop.set()
        th.join()
    # With the lock held throughout a call, the ticker could still slip in once at each end of the
    # window (while the caller runs Python code), but never in between.
    inside = sum(max(0, sum(1 for t in stamps if a < t < b) - 2) for a, b in windows)
    assert inside >= 20, (inside, len(windows))


def to_steps(proof_pairs):
    """(kind, dimacs) pairs of proof_steps() -> check_proof steps of internal literals."""
    return [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in proof_pairs]


def drat_steps(data: bytes, binary: bool):
    """A DRAT proof file's content, text or binary, as check_proof steps of internal literals."""
    steps = []
    if binary:
        i = 0
        while i < len(data):
            kind, lits, i = data[i], [], i + 1
            while True:
                u = shift = 0
                while True:
                    b, i = data[i], i + 1
                    u |= (b & 0x7F) << shift
                    shift += 7
                    if b < 0x80:
                        break
                if u == 0:
                    break
                lits.append(u - 2)
            steps.append((kind == ord("d"), lits))
        return steps
    for line in data.decode().splitlines():
        toks = line.split()
        deletion = toks[:1] == ["d"]
        nums = [int(t) for t in toks[deletion:]]
        assert nums[-1] == 0 and 0 not in nums[:-1], line
        steps.append((deletion, [nn.from_dimacs(d) for d in nums[:-1]]))
    return steps


def read_dimacs_xz(path):
    """(nvars, clauses of internal literals) of an xz-compressed DIMACS file, read by the engine's
    reader (as the package reads files)."""
    db = nn.ClauseDb()
    db.parse_dimacs(lzma.decompress(Path(path).read_bytes()), name=str(path))
    return db.num_vars, db.clauses()


def reference_dimacs_xz(path):
    """The same by a plain independent parse: only the oracle of the reader's own test."""
    nvars, clauses, cur = 0, [], []
    for line in lzma.open(path, "rt"):
        if line.startswith("p"):
            nvars = int(line.split()[2])
        elif not line.startswith(("c", "%")):
            for d in map(int, line.split()):
                if d:
                    cur.append(nn.from_dimacs(d))
                else:
                    clauses.append(cur)
                    cur = []
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


def drat_text(steps):
    """check_proof steps (is_deletion, internal literals) -> text DRAT bytes."""
    return b"".join((b"d " if d else b"") + b"".join(b"%d " % nn.to_dimacs(l) for l in lits) + b"0\n"
                    for d, lits in steps)


def drat_binary(steps):
    """check_proof steps -> binary DRAT bytes: 'a'/'d', each literal l as the varint l + 2, a zero byte."""
    out = bytearray()
    for d, lits in steps:
        out += b"d" if d else b"a"
        for l in lits:
            u = l + 2
            while u >= 0x80:
                out.append(u & 0x7F | 0x80)
                u >>= 7
            out.append(u)
        out.append(0)
    return bytes(out)
