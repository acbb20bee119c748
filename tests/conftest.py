"""Helpers shared by the test files: formulas, brute force, proof steps and their DRAT encodings,
benchmark instances, the notes conversion errors carry."""
import inspect
import itertools
import lzma
import mmap
import os
import random
import signal
import threading
import time
from pathlib import Path

import pytest

import norvane_native as nn

# Tests stop child processes with SIGINT.  A suite started in the background of a shell without
# job control inherits SIGINT ignored, and so would every child: give it the usual handler back.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The shared instance set beside the checkout, or NORVANE_BENCH (as for bench/).
BENCH = Path(os.environ.get("NORVANE_BENCH", Path(__file__).resolve().parents[2] / "shared" / "bench"))
RANGE = "out of range integral type conversion attempted"
MSG_OK = "empty clause derived and every step verified"
MSG_NO_EMPTY = "every step verified, but the proof never derives the empty clause"
# Under AddressSanitizer freed memory sits in a quarantine and the runtime reserves terabytes of
# address space: resident memory is no measure of leaks, and address-space caps cannot be tried.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
UNSANITIZED = pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves far more address space than the cap")
# The solver's eleven counters.
STATS = ("decisions", "propagations", "conflicts", "learned", "learned_lits", "minimized_lits", "restarts",
         "blocked_restarts", "reductions", "deleted", "max_trail")


class Boom(Exception):
    """Raised by a test's own objects; it must come back to the caller unchanged."""


class Index:
    """An integer whose conversion runs `fn` first, then raises `value` if it is an exception, Boom
    if it is None."""

    def __init__(self, value=None, fn=None):
        self.value, self.fn = value, fn

    def __index__(self):
        if self.fn:
            self.fn()
        if isinstance(self.value, BaseException) or self.value is None:
            raise self.value or Boom("__index__")
        return self.value


def stats(s):
    return [getattr(s, k) for k in STATS]


def satisfies(clauses, model):
    """Does a model (bools by variable) satisfy clauses of internal literals?  A variable beyond the
    model satisfies nothing."""
    n = len(model)
    return all(any((l >> 1) < n and model[l >> 1] != bool(l & 1) for l in c) for c in clauses)


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
    n = max([nvars] + [(l >> 1) + 1 for c in clauses for l in c])
    return any(satisfies(clauses, bits) for bits in itertools.product([False, True], repeat=n))


def random_3sat(seed, nvars, ratio=4.26):
    """Random 3-SAT over distinct variables, `ratio` clauses per variable."""
    rng = random.Random(seed)
    return [[2 * v + rng.randrange(2) for v in rng.sample(range(nvars), 3)] for _ in range(round(ratio * nvars))]


def random_cnf(rng: random.Random, nvars, nclauses, maxlen=4, minlen=1):
    return [[rng.randrange(2 * nvars) for _ in range(rng.randint(minlen, maxlen))] for _ in range(nclauses)]


# (name, default) of the Solver's constructor parameters, in declaration order, from the engine;
# a portfolio worker mapping has the same fields but nvars.
SOLVER_PARAMS = [(p.name, p.default) for p in inspect.signature(nn.Solver).parameters.values()]
# How each parameter converts: unsigned 32- or 64-bit integer, float, bool, str.
SOLVER_KINDS = {n: {bool: "bool", str: "str", float: "f64", int: "u64"}[type(d)] for n, d in SOLVER_PARAMS}
SOLVER_KINDS.update(nvars="u32", glue_keep="u32", rnd_seed="u32")


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


def php_file(tmp_path, holes):
    """pigeonhole(holes) written as a DIMACS file in tmp_path."""
    from norvane import CNF
    path = tmp_path / f"php{holes}.cnf"
    CNF(pigeonhole_dimacs(holes)[1]).to_file(path)
    return path


def solver(nvars, clauses, proof=True, **opts):
    s = nn.Solver(nvars, **opts)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    return s


def clause_db(clauses, nvars=0):
    db = nn.ClauseDb(nvars)
    for c in clauses:
        db.add_clause(c)
    return db


def find_model(nvars, clauses):
    """A model of `clauses` found by the native Solver, or None."""
    s = solver(nvars, clauses, proof=False)
    return s.model if s.solve() else None


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


def drat_text(steps):
    """check_proof steps (is_deletion, internal literals) -> text DRAT bytes."""
    return b"".join((b"d " if d else b"") + b"".join(b"%d " % nn.to_dimacs(l) for l in lits) + b"0\n"
                    for d, lits in steps)


def varint(u):
    """u in groups of 7 bits, low group first, the high bit set on all but the last."""
    return bytes([u & 0x7F | 0x80]) + varint(u >> 7) if u >= 0x80 else bytes([u])


def drat_binary(steps):
    """check_proof steps -> binary DRAT bytes: 'a'/'d', each literal l as the varint l + 2, a zero byte."""
    return b"".join((b"d" if d else b"a") + b"".join(varint(l + 2) for l in lits) + b"\0" for d, lits in steps)


def noisy_text(steps, rng):
    """Text DRAT with comment lines, CRLF, tabs and steps split over lines."""
    out = [b"c written by hand\r\n"]
    for d, lits in steps:
        toks = [b"d"] * d + [b"%d" % nn.to_dimacs(l) for l in lits] + [b"0"]
        out.append(b"".join(t + rng.choice([b" ", b"\t", b"  ", b"\n", b"\r\n"]) for t in toks))
        if rng.random() < 0.1:
            out.append(b"c %d\n" % rng.randrange(100))
    return b"".join(out)


def drat_forms(steps, rng, tmp_path):
    """The proof in each encoding and container: text and binary; bytes, bytearray, memoryview, mmap."""
    for data in (drat_text(steps), drat_binary(steps), noisy_text(steps, rng)):
        yield from (bytes(data), bytearray(data), memoryview(data))
        if data:  # an empty file cannot be mapped
            path = tmp_path / f"proof{rng.randrange(10**9)}"
            path.write_bytes(data)
            with open(path, "rb") as f:
                yield mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def bench_instances():
    manifest = BENCH / "MANIFEST.tsv"
    rows = [r.split("\t") for r in manifest.read_text().splitlines()[1:]] if manifest.exists() else []
    return {r[0]: dict(zip(["file", "family", "vars", "clauses", "expected"], r[:5])) for r in rows}


def bench(file):
    """(nvars, clauses) of a benchmark instance, read by ClauseDb (duplicate literals collapse,
    tautologies go); skips the test when the instance set is not there."""
    path = BENCH / "cnf" / file
    if not path.exists():
        pytest.skip("benchmark instances not available")
    db = nn.ClauseDb()
    db.parse_dimacs(lzma.open(path).read(), name=file)
    return db.num_vars, db.clauses()


def notes(exc):
    return list(getattr(exc, "__notes__", []))


def expect_notes(expected):
    """Conversion errors get a note naming the parameter where there is BaseException.add_note (3.11+)."""
    return list(expected) if hasattr(BaseException, "add_note") else []


def raises(exc, call, message=None, note=None):
    """call() raises exactly `exc` (with `message` and the note for parameter `note`, when given);
    returns the exception."""
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc, e.value
    if message is not None:
        assert str(e.value) == message
    if note is not None:
        assert notes(e.value) == expect_notes([f"while processing '{note}'"] if note else [])
    return e.value
