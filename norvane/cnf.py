"""CNF formulas in DIMACS literals, kept in native memory.

A `CNF` holds its clauses in a `norvane_native.ClauseDb`, so a large formula costs four bytes
per literal and a solver loads it with one native copy; Python lists of signed literals are made
only when asked for (`clauses`, iteration).  Reading files goes through the engine's DIMACS
reader; this module only decompresses (gzip, xz, bzip2, told apart by content) and picks the
source.  Literal conversion between signed DIMACS literals and the engine's internal literals
(variable v from 0 is 2v, its negation 2v + 1) lives here too.
"""
from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import Union

import norvane_native as _nn

from . import _native

PathLike = Union[str, "os.PathLike[str]"]
Clause = Sequence[int]


def to_internal(clause: Iterable[int]) -> list[int]:
    """Signed DIMACS literals -> the engine's internal literals."""
    out = [d + d - 2 if d > 0 else -d - d - 1 for d in clause]
    if -1 in out:
        raise ValueError("0 is not a DIMACS literal (it terminates a clause)")
    return out


def to_dimacs(lits: Iterable[int]) -> list[int]:
    """The engine's internal literals -> signed DIMACS literals."""
    return [-(l >> 1) - 1 if l & 1 else (l >> 1) + 1 for l in lits]


def model_literals(values: Sequence[bool], nvars: int | None = None) -> list[int]:
    """A model given as one bool per variable -> its signed literals (variables beyond the
    values are false)."""
    n = len(values) if nvars is None else nvars
    return [v if (v <= len(values) and values[v - 1]) else -v for v in range(1, n + 1)]


def read_bytes(path: PathLike) -> bytes:
    """The bytes of `path` ('-' is standard input), decompressed when gzip, xz or bzip2."""
    name = os.fspath(path)
    if name == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(name, "rb") as f:
            data = f.read()
    return decompress(data, name)


def compression(head: bytes) -> str | None:
    """'gzip', 'xz', 'bz2' or None, from a file's first bytes."""
    if head[:2] == b"\x1f\x8b":
        return "gzip"
    if head[:6] == b"\xfd7zXZ\x00":
        return "xz"
    if head[:3] == b"BZh":
        return "bz2"
    return None


def decompress(data: bytes, name: str) -> bytes:
    kind = compression(data)
    if kind is None:
        return data
    import bz2
    import gzip
    import lzma

    try:
        if kind == "gzip":
            return gzip.decompress(data)
        if kind == "xz":
            return lzma.decompress(data)
        if kind == "bz2":
            return bz2.decompress(data)
    except (OSError, EOFError, lzma.LZMAError, ValueError) as e:
        raise ValueError(f"{name}: cannot decompress ({kind}): {e}") from None
    return data


class CNF:
    """A formula in conjunctive normal form over signed DIMACS literals (1, -2, ...).

    `CNF([[1, -2], [2, 3]])`, `CNF.from_file("f.cnf.xz")`.  Clauses are stored natively: a
    duplicate literal inside a clause is kept once and a tautology (a clause with x and -x) is
    not stored, which changes nothing about the formula's meaning.  `nvars` is the largest
    variable mentioned, or more when given (or declared by a file's header).
    """

    __slots__ = ("_db",)

    def __init__(self, clauses: Iterable[Clause] = (), nvars: int | None = None) -> None:
        if nvars is not None and nvars < 0:
            raise ValueError(f"nvars must be at least 0, not {nvars}")
        self._db = _nn.ClauseDb(nvars or 0)
        self.extend(clauses)

    @classmethod
    def from_file(cls, path: PathLike) -> CNF:
        """Read DIMACS CNF: plain, .gz, .xz or .bz2 (told apart by content), '-' for standard
        input.  Malformed input raises ValueError naming the file and line."""
        name = os.fspath(path)
        if name != "-":
            with open(name, "rb") as f:
                kind = compression(f.read(6))
            if kind is None:
                return cls.from_clausedb(_native.read_dimacs_file(name))
        data = read_bytes(name)
        return cls.from_clausedb(_native.read_dimacs_bytes(data, "<stdin>" if name == "-" else name))

    @classmethod
    def from_clausedb(cls, db: _nn.ClauseDb) -> CNF:
        """Wrap an engine ClauseDb (not copied: later additions to either show in both)."""
        cnf = cls.__new__(cls)
        cnf._db = db
        return cnf

    @property
    def db(self) -> _nn.ClauseDb:
        """The engine's clause store behind this formula (internal literals)."""
        return self._db

    @property
    def nvars(self) -> int:
        return self._db.num_vars

    @property
    def clauses(self) -> list[list[int]]:
        """Every clause as a new list of signed literals."""
        return [to_dimacs(c) for c in self._db.clauses()]

    def append(self, clause: Clause) -> None:
        """Add one clause of signed literals."""
        if not isinstance(clause, (list, tuple)):
            clause = list(clause)
        if -2147483648 in clause:  # would name variable 2^31, beyond the engine's range
            raise OverflowError("literal -2147483648 is out of range")
        self._db.add_dimacs(clause)

    def extend(self, clauses: Iterable[Clause]) -> None:
        """Add clauses of signed literals (or every clause of another CNF)."""
        if isinstance(clauses, CNF):
            clauses = clauses.clauses
        for c in clauses:
            self.append(c)

    def to_file(self, path: PathLike, comments: Iterable[str] = ()) -> None:
        """Write DIMACS CNF ('-' for standard output); `comments` become 'c' lines."""
        name = os.fspath(path)
        if name == "-":
            self.write(sys.stdout, comments)
            sys.stdout.flush()
            return
        with open(name, "w", encoding="ascii") as f:
            self.write(f, comments)

    def write(self, f, comments: Iterable[str] = ()) -> None:  # noqa: ANN001 - any text file
        """Write DIMACS CNF to an open text file."""
        for line in comments:
            f.write(f"c {line}\n")
        f.write(f"p cnf {self.nvars} {len(self._db)}\n")
        for c in self._db.clauses():
            f.write(" ".join(map(str, to_dimacs(c))) + (" 0\n" if c else "0\n"))

    def __len__(self) -> int:
        return len(self._db)

    def __iter__(self) -> Iterator[list[int]]:
        db = self._db
        for i in range(len(db)):
            yield to_dimacs(db.clause(i))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CNF):
            return NotImplemented
        return self.nvars == other.nvars and self._db.clauses() == other._db.clauses()

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple:
        """Pickled as its variable count and clauses, so that a formula can go to another
        process (a Dask worker, say)."""
        return (_unpickle, (self.nvars, self._db.clauses()))

    def __repr__(self) -> str:
        return f"<CNF vars={self.nvars} clauses={len(self)}>"


def _unpickle(nvars: int, clauses: list[list[int]]) -> CNF:
    db = _nn.ClauseDb(nvars)
    add = db.add_clause
    for c in clauses:
        add(c)
    return CNF.from_clausedb(db)
