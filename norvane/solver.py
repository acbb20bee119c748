"""Solver: the engine's CDCL search over signed DIMACS literals.

A thin layer over `norvane_native.Solver`: literals are converted at the boundary (the engine
speaks internal literals), clauses of a `CNF` are copied natively, a proof goes to a file as the
search makes it, and the search runs with the interpreter lock released so that other threads
(and `interrupt()` from them) run meanwhile.  Answers, counters, models and proofs are exactly
the engine's.
"""
from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import norvane_native as _nn

from . import _native
from .cnf import CNF, PathLike, model_literals, to_dimacs, to_internal
from .options import DEFAULTS, HELP, check_names

#: The eleven search counters, in the engine's order.
STATS: tuple[str, ...] = tuple(_nn.SOLVER_COUNTERS)


def _check_limit(name: str, value: float | None) -> None:
    if value is not None and not (value >= 0 and value != float("inf")):
        raise ValueError(f"{name} must be a finite number of at least 0, not {value!r}")


class Solver:
    """CDCL SAT solver over signed DIMACS literals.

    Solver(formula=None, *, proof=None, proof_format="text", **options)

    `formula`: a `CNF` or clauses of signed literals to start with.  `proof`: a file that receives
    a DRAT proof as the search goes ("text" or "binary" `proof_format`); it must be given here,
    before any clause.  The search options, by name, with the engine's defaults:

    {options}

    Use it as a context manager (or call `close()`) to release the engine and close the proof.
    """

    def __init__(self, formula: CNF | Iterable[Sequence[int]] | None = None, *, proof: PathLike | None = None,
                 proof_format: str = "text", **options: Any) -> None:
        check_names(options, "Solver()")
        if proof_format not in ("text", "binary"):
            raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
        if formula is not None and not isinstance(formula, CNF):
            formula = CNF(formula)
        nvars = 0 if formula is None else formula.nvars
        self._s: _nn.Solver | None = _nn.Solver(nvars, **options)
        self._options = {**DEFAULTS, **options}
        if proof is not None:
            self._s.enable_proof(os.fspath(proof), binary=proof_format == "binary")
        self._model: list[int] | None = None
        self._answer: bool | None = None
        if formula is not None:
            self.add_clauses(formula)

    # -- clauses -------------------------------------------------------------------------------

    @property
    def _engine(self) -> _nn.Solver:
        if self._s is None:
            raise ValueError("the solver is closed")
        return self._s

    def add_clause(self, clause: Iterable[int]) -> bool:
        """Add a clause of signed literals.  False once the formula is known unsatisfiable."""
        return self._engine.add_clause(to_internal(clause))

    def add_clauses(self, clauses: CNF | Iterable[Sequence[int]]) -> int:
        """Add clauses (lists of signed literals, or a `CNF`, copied natively); returns how many
        were stored (tautologies are not)."""
        if isinstance(clauses, CNF):
            db = clauses.db
        else:
            db = CNF(clauses).db
        return _native.add_clauses(self._engine, db)

    def append_formula(self, clauses: CNF | Iterable[Sequence[int]]) -> int:
        """Same as add_clauses (the name other SAT bindings use)."""
        return self.add_clauses(clauses)

    @property
    def nvars(self) -> int:
        return self._engine.nvars

    @property
    def options(self) -> dict[str, Any]:
        """The search options in force."""
        return dict(self._options)

    # -- solving -------------------------------------------------------------------------------

    def solve(self, assumptions: Iterable[int] = (), conflict_limit: int | None = None,
              time_limit: float | None = None) -> bool | None:
        """True (satisfiable: see `model`), False (unsatisfiable, under the assumptions if any:
        see `core`) or None (a limit ran out, or `interrupt()`)."""
        _check_limit("time_limit", time_limit)
        s = self._engine
        kw: dict[str, Any] = {}
        lits = to_internal(assumptions)
        if lits:
            kw["assumptions"] = lits
        kw["release_gil"] = True
        self._model = None
        self._answer = s.solve(conflict_limit, time_limit, **kw)
        if self._answer:
            self._model = model_literals(s.model)
        return self._answer

    @property
    def model(self) -> list[int] | None:
        """The last satisfying assignment, one signed literal per variable (x or -x for x in 1..nvars),
        or None when the last solve() did not answer True."""
        return None if self._model is None else list(self._model)

    @property
    def core(self) -> list[int]:
        """After False under assumptions: the failed assumptions (signed, in the order given), a
        subset that the formula refutes on its own.  Empty when the formula itself is unsatisfiable."""
        return to_dimacs(self._engine.core())

    def propagate(self, assumptions: Iterable[int]) -> tuple[bool, list[int]]:
        """Unit propagation of the assumptions on the formula, without search: (ok, implied
        literals in the order they became true).  ok is False on a conflict."""
        ok, implied = self._engine.propagate(to_internal(assumptions))
        return ok, to_dimacs(implied)

    def enum_models(self, limit: int | None = None, over: Iterable[int] | None = None,
                    assumptions: Iterable[int] = ()) -> Iterator[list[int]]:
        """Yield models one after another, each time blocking the last one's values on the
        variables `over` (all variables by default); stops when no model is left or after `limit`.

        The blocking clauses stay in the solver."""
        chosen = None if over is None else {abs(v) for v in over}
        assumptions = list(assumptions)
        found = 0
        while limit is None or found < limit:
            if self.solve(assumptions) is not True:
                return
            model = self._model
            assert model is not None
            found += 1
            yield list(model)
            block = [-l for l in model if chosen is None or abs(l) in chosen]
            self.add_clause(block)

    def interrupt(self) -> None:
        """Stop a solve() running in another thread: it returns None at its next check."""
        self._engine.interrupt()

    @property
    def stats(self) -> dict[str, int]:
        """The eleven search counters, cumulative over the solver's life."""
        s = self._engine
        return {name: getattr(s, name) for name in STATS}

    @property
    def ok(self) -> bool:
        """False once the formula is known unsatisfiable without assumptions."""
        return self._engine.ok

    @property
    def engine(self) -> _nn.Solver:
        """The underlying `norvane_native.Solver` (internal literals)."""
        return self._engine

    # -- lifetime ------------------------------------------------------------------------------

    def close(self) -> None:
        """Release the engine; the proof file is complete afterwards."""
        self._s = None

    def __enter__(self) -> Solver:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._s is None:
            return "<norvane.Solver closed>"
        return f"<norvane.Solver vars={self._s.nvars} conflicts={self._s.conflicts}>"


if Solver.__doc__:
    Solver.__doc__ = Solver.__doc__.replace(
        "{options}", "\n    ".join(f"{name}={DEFAULTS[name]!r}: {HELP.get(name, '')}" for name in DEFAULTS))
