"""Checking DRAT proofs: `check_proof` over a formula and a proof file or a list of steps.

One proof-step shape throughout the package: `(is_deletion, signed literals)`.  A proof file
(DRAT text or binary, told apart by content; gzip, xz or bzip2 are decompressed first) is
memory-mapped and handed to the engine's checker as it is, so a proof of any size costs no
Python objects; the checker runs with the interpreter lock released.
"""
from __future__ import annotations

import mmap
import os
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, Union

from . import _native
from .cnf import CNF, PathLike, compression, read_bytes, to_internal

Step = tuple[bool, Sequence[int]]


class CheckResult(NamedTuple):
    """The checker's verdict and counters."""

    ok: bool
    """True when the proof derives the empty clause and every step up to it checks."""
    message: str
    steps: int
    rup: int
    rat: int
    deleted: int
    skipped: int
    rat_checks: int
    failed_step: int
    """1-based position of the first step that does not check, or -1."""
    empty_derived: bool


def to_steps(pairs: Iterable[tuple[Any, Sequence[int]]]) -> list[tuple[bool, list[int]]]:
    """Proof steps of any engine shape -- ("a"/"d", DIMACS) or (is_deletion, DIMACS) -- as
    (is_deletion, signed literals)."""
    return [((k == "d") if isinstance(k, str) else bool(k), list(lits)) for k, lits in pairs]


def write_proof(path: PathLike, steps: Iterable[Step], binary: bool = False) -> None:
    """Write (is_deletion, signed literals) steps as a DRAT file (text or binary)."""
    with open(os.fspath(path), "wb") as f:
        _native.write_steps(f, list(steps), binary)


def check_proof(formula: CNF | PathLike, proof: PathLike | Iterable[Step], *, check_rat: bool = True,
                apply_deletions: bool = True) -> CheckResult:
    """Check a DRAT proof of unsatisfiability against a formula.

    `formula`: a `CNF` or a DIMACS file.  `proof`: a DRAT file (text or binary) or a list of
    (is_deletion, signed literals) steps.  `check_rat=False` accepts RUP steps only;
    `apply_deletions=False` ignores deletion steps.  Malformed files raise ValueError.
    """
    cnf = formula if isinstance(formula, CNF) else CNF.from_file(formula)
    kw = {"check_rat": check_rat, "apply_deletions": apply_deletions}
    if isinstance(proof, (str, os.PathLike)):
        name = os.fspath(proof)
        return CheckResult(*_check_file(cnf, name, kw))
    steps = [(bool(d), to_internal(lits)) for d, lits in proof]
    return CheckResult(*_native.check_proof(cnf.nvars, cnf.db, steps, "<steps>", **kw))


def _check_file(cnf: CNF, name: str, kw: dict[str, Any]) -> tuple:
    with open(name, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size == 0 or compression(f.read(6)) is not None:
            return _native.check_proof(cnf.nvars, cnf.db, read_bytes(name), name, **kw)
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            return _native.check_proof(cnf.nvars, cnf.db, m, name, **kw)


Proof = Union[PathLike, Iterable[Step]]
