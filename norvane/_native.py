"""The package's small helpers over engine entries: option defaults from text signatures,
DIMACS reading into a ClauseDb, bulk loading, proof files, proof steps written as DRAT, and
check_proof over a ClauseDb with steps or a bytes-like proof.  `parse_drat` is a plain reader
of DRAT text or binary data into internal steps, for callers that want the steps themselves.
"""
from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any, BinaryIO

import norvane_native as _nn

PanicException: type[BaseException] = _nn.PanicException  # type: ignore[attr-defined]


def signature_defaults(fn: Any) -> dict[str, Any]:
    """Parameter names and defaults from an engine entry's text signature (what inspect would
    give, without importing it at start-up)."""
    import ast

    sig = getattr(fn, "__text_signature__", None) or "()"
    out: dict[str, Any] = {}
    for part in sig.strip("()").split(","):
        name, eq, value = part.strip().partition("=")
        if eq and not name.startswith("$"):
            out[name] = ast.literal_eval(value)
    return out


# ---------------------------------------------------------------------------------------------
# DIMACS reading (the engine's reader: strict tokens, header counts, file:line:column messages)


def read_dimacs_file(path: str) -> _nn.ClauseDb:
    db = _nn.ClauseDb()
    db.read_dimacs(path)
    return db


def read_dimacs_bytes(data: bytes, name: str) -> _nn.ClauseDb:
    db = _nn.ClauseDb()
    db.parse_dimacs(data, name=name)
    return db


# ---------------------------------------------------------------------------------------------
# Loading clauses


def add_clauses(target: Any, db: _nn.ClauseDb) -> int:
    """Every clause of `db` into a Solver or Preprocessor."""
    if hasattr(target, "add_clauses"):
        return int(target.add_clauses(db))
    clauses = db.clauses()
    for c in clauses:
        target.add_clause(c)
    return len(clauses)


# ---------------------------------------------------------------------------------------------
# Proofs


def write_steps(f: BinaryIO, steps: Sequence[tuple[bool, Sequence[int]]], binary: bool) -> None:
    """(is_deletion, signed literals) steps as DRAT text or binary DRAT."""
    if binary:
        out = bytearray()
        for deletion, lits in steps:
            out += b"d" if deletion else b"a"
            for d in lits:
                u = 2 * d if d > 0 else -2 * d + 1
                while u > 127:
                    out.append((u & 127) | 128)
                    u >>= 7
                out.append(u)
            out.append(0)
        f.write(out)
    else:
        f.write("".join(("d " if deletion else "") + "".join(f"{d} " for d in lits) + "0\n"
                        for deletion, lits in steps).encode())


def preprocessor(nvars: int, options: dict[str, Any], path: str | None, binary: bool) -> Any:
    """A native Preprocessor, writing its proof to `path` when given."""
    if path is None:
        return _nn.Preprocessor(nvars, **options)
    return _nn.Preprocessor(nvars, **options, proof_path=path, proof_binary=binary)


def parse_drat(data: bytes, name: str) -> list[tuple[bool, list[int]]]:
    """Proof reader: DRAT text or binary (told apart by content) -> internal steps."""
    steps: list[tuple[bool, list[int]]] = []
    # Text proofs never start with 'a' and never hold a zero byte; binary steps end with one.
    if data[:1] == b"a" or (data[:1] == b"d" and b"\0" in data):
        i, n = 0, len(data)
        while i < n:
            head = data[i]
            if head not in (0x61, 0x64):
                raise ValueError(f"{name}: byte offset {i}: expected 'a' or 'd' in a binary proof")
            i += 1
            lits: list[int] = []
            while True:
                u = shift = 0
                while True:
                    if i >= n:
                        raise ValueError(f"{name}: byte offset {i}: proof ends inside a step")
                    b = data[i]
                    i += 1
                    u |= (b & 127) << shift
                    shift += 7
                    if b < 128:
                        break
                if u == 0:
                    break
                if u >= 2**32:
                    raise ValueError(f"{name}: byte offset {i}: literal out of range")
                lits.append(u - 2)
            steps.append((head == 0x64, lits))
        return steps
    cur: list[int] = []
    deletion = False
    cur_line = lineno = 0
    for lineno, line in enumerate(data.splitlines(), 1):
        toks = line.split()
        if not toks or toks[0] == b"c":
            continue
        for t in toks:
            if t == b"d":
                if cur or deletion:
                    raise ValueError(f"{name}:{lineno}: 'd' inside a clause")
                deletion = True
                continue
            if not re.fullmatch(rb"[+-]?[0-9]+", t):
                raise ValueError(f"{name}:{lineno}: {t.decode('ascii', 'replace')!r} is not a literal")
            d = int(t)
            if abs(d) > 2**31 - 1:
                raise ValueError(f"{name}:{lineno}: literal {d} is out of range")
            if d == 0:
                steps.append((deletion, [d2 + d2 - 2 if d2 > 0 else -d2 - d2 - 1 for d2 in cur]))
                cur, deletion = [], False
            else:
                if not cur:
                    cur_line = lineno
                cur.append(d)
    if cur or deletion:
        raise ValueError(f"{name}:{cur_line or lineno}: proof step is missing its final 0")
    return steps


def check_proof(nvars: int, db: _nn.ClauseDb, proof: Any, name: str, **kw: Any) -> tuple:
    """check_proof over a ClauseDb and either internal steps or a bytes-like DRAT proof (`name`
    is kept for the callers' messages)."""
    return _nn.check_proof(nvars, db, proof, **kw)  # type: ignore[arg-type]
