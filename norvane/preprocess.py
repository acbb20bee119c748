"""Preprocessing: simplify a formula, solve the smaller one, map its model back.

`preprocess()` runs the engine's preprocessor (unit propagation, subsumption, self-subsuming
resolution, pure literals, bounded variable elimination) over a `CNF` and returns the reduced
formula together with what is needed to turn a model of it into a model of the input.

A reduction can be saved as a *map file* (`write_map`) and taken up again later, in another
process, with `load_map`: the map holds the input formula and the settings, and loading it runs
the deterministic preprocessor again, checking that it gives the very same reduced formula.  A
map is gzip-compressed DIMACS with the settings in comment lines.
"""
from __future__ import annotations

import functools
import gzip
import hashlib
import json
import os
from collections.abc import Iterable, Sequence
from typing import Any

import norvane_native as _nn

from . import _native
from .cnf import CNF, PathLike, decompress, model_literals

#: The preprocessor's options and defaults, read from the engine.
OPTIONS: dict[str, Any] = {
    name: v for name, v in _native.signature_defaults(_nn.Preprocessor).items()
    if name not in ("nvars", "with_proof", "proof_path", "proof_binary")
}
COUNTERS = ("units", "subsumed", "strengthened", "eliminated_vars", "resolvents", "pure")
_MAP_MAGIC = "norvane preprocessing map 1"


def _digest(clauses: list[list[int]]) -> str:
    return hashlib.sha256(repr(clauses).encode()).hexdigest()


class Preprocessed:
    """A preprocessed formula: `cnf` (the reduced formula), `unsat`, the counters, and
    `reconstruct(model)`."""

    def __init__(self, original: CNF, pre: _nn.Preprocessor, settings: dict[str, Any]) -> None:
        self.original = original
        self._pre = pre
        self.settings = settings
        self._reduced: list[list[int]] | None = None

    def reduced(self) -> list[list[int]]:
        """The reduced formula's clauses in the engine's internal literals, made once (the
        clause lists `cnf` holds, without the copy into a clause store)."""
        if self._reduced is None:
            self._reduced = self._pre.reduced()
        return self._reduced

    @functools.cached_property
    def cnf(self) -> CNF:
        """The reduced formula."""
        db = _nn.ClauseDb(max(self.original.nvars, self._pre.nvars))
        for c in self.reduced():
            db.add_clause(c)
        return CNF.from_clausedb(db)

    @functools.cached_property
    def digest(self) -> str:
        """A fingerprint of the reduced formula, which load_map compares."""
        return _digest(self.reduced())

    @property
    def unsat(self) -> bool:
        """The preprocessor found the formula unsatisfiable (the reduced formula is one empty clause)."""
        return self._pre.unsat

    @property
    def stats(self) -> dict[str, int]:
        return {name: getattr(self._pre, name) for name in COUNTERS}

    def __getattr__(self, name: str) -> int:
        if name in COUNTERS:
            return int(getattr(self._pre, name))
        raise AttributeError(name)

    def reconstruct(self, model: Iterable[int]) -> list[int]:
        """A model of the reduced formula (signed literals; missing variables count as false)
        -> a model of the input formula, one signed literal per input variable."""
        values = [False] * self._pre.nvars
        for lit in model:
            v = abs(lit)
            if v == 0 or v > len(values):
                raise ValueError(f"literal {lit} is not over the formula's {len(values)} variables")
            values[v - 1] = lit > 0
        return model_literals(self._pre.reconstruct(values), self.original.nvars)

    def write_map(self, path: PathLike) -> None:
        """Save what reconstruct() needs, for load_map()."""
        with gzip.open(os.fspath(path), "wt", encoding="ascii", compresslevel=3) as f:
            self.original.write(f, [_MAP_MAGIC, f"engine {_nn.__version__}", "settings " + json.dumps(self.settings),
                                    f"reduced {self.digest}"])

    def __repr__(self) -> str:
        return (f"<Preprocessed vars={self.original.nvars} clauses={len(self.original)} -> {len(self.cnf)}"
                f" eliminated={self._pre.eliminated_vars}{' unsat' if self.unsat else ''}>")


def preprocess(formula: CNF | Iterable[Sequence[int]], *, rounds: int = 3, freeze: Iterable[int] = (),
               proof: PathLike | None = None, proof_format: str = "text", **options: Any) -> Preprocessed:
    """Simplify a formula.  `freeze`: variables that must not be eliminated (for instance those
    you will assume or read from the model); a frozen variable whose value the preprocessor fixed
    leaves the reduced formula all the same, and reconstruct() gives it that value.  `proof`: a file for the DRAT steps of the
    simplification; a proof of the reduced formula appended to it proves the input formula
    unsatisfiable.  Options: {options}."""
    cnf, pre, settings = start(formula, freeze, proof, proof_format, options, "preprocess()")
    settings["rounds"] = rounds
    pre.run(rounds)
    return Preprocessed(cnf, pre, settings)


def start(formula: CNF | Iterable[Sequence[int]], freeze: Iterable[int], proof: PathLike | None, proof_format: str,
          options: dict[str, Any], where: str) -> tuple[CNF, Any, dict[str, Any]]:
    """A native preprocessor loaded with `formula`, before any round, writing its proof to
    `proof` when given: (formula, preprocessor, settings)."""
    for name in options:
        if name not in OPTIONS:
            raise TypeError(f"{where} got an unexpected keyword argument {name!r}")
    if proof_format not in ("text", "binary"):
        raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
    cnf = formula if isinstance(formula, CNF) else CNF(formula)
    frozen = sorted({int(v) for v in freeze})
    for v in frozen:
        if v < 1:
            raise ValueError(f"cannot freeze {v}: variables are numbered from 1")
    settings = {"rounds": 0, "freeze": frozen, **OPTIONS, **options}
    pre = _native.preprocessor(cnf.nvars, {k: settings[k] for k in OPTIONS},
                               None if proof is None else os.fspath(proof), proof_format == "binary")
    for v in frozen:
        pre.freeze(v - 1)
    _native.add_clauses(pre, cnf.db)
    return cnf, pre, settings


if preprocess.__doc__:
    preprocess.__doc__ = preprocess.__doc__.replace("{options}", ", ".join(f"{k}={v!r}" for k, v in OPTIONS.items()))


def load_map(path: PathLike, *, proof: PathLike | None = None, proof_format: str = "text") -> Preprocessed:
    """Take up a reduction saved by `Preprocessed.write_map`: runs the preprocessor again on the
    saved formula (optionally logging its proof) and checks that it gives the same reduced formula."""
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = decompress(f.read(), name)
    head: dict[str, str] = {}
    for line in data[:4096].decode("ascii", "replace").splitlines():
        if not line.startswith("c "):
            break
        key, _, value = line[2:].partition(" ")
        head[key] = value
    if head.get("norvane") != _MAP_MAGIC.partition(" ")[2]:
        raise ValueError(f"{name}: not a norvane preprocessing map")
    try:
        settings = json.loads(head["settings"])
        digest = head["reduced"]
    except (KeyError, ValueError):
        raise ValueError(f"{name}: damaged preprocessing map (settings line)") from None
    original = CNF.from_clausedb(_native.read_dimacs_bytes(data, name))
    opts = {k: v for k, v in settings.items() if k in OPTIONS}
    result = preprocess(original, rounds=settings.get("rounds", 3), freeze=settings.get("freeze", ()),
                        proof=proof, proof_format=proof_format, **opts)
    if result.digest != digest:
        raise ValueError(f"{name}: this engine ({_nn.__version__}) reduces the formula differently from the one "
                         f"that wrote the map ({head.get('engine', '?')})")
    return result
