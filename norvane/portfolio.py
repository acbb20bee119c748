"""Portfolio: race differently configured solvers in threads; the first answer wins.

`workers` is a number (that many diversified configurations; the pipeline of `norvane.solve`
races its own) or a list of option dicts, each merged over the defaults.  The race runs natively with the
interpreter lock released.
"""
from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, NamedTuple

import norvane_native as _nn

from . import _native
from .cnf import CNF, PathLike, model_literals
from .options import complete, portfolio_configs

#: The counters the portfolio reports for the winning worker.
STATS = ("conflicts", "decisions", "propagations", "restarts")


class PortfolioResult(NamedTuple):
    worker: int
    """Index of the winning configuration; -1 when a limit ran out with no answer."""
    sat: bool | None
    model: list[int] | None
    """Signed literals, one per variable, when satisfiable."""
    stats: dict[str, int]
    proof: str | None
    """The DRAT file written when unsatisfiable and a proof was asked for."""
    configs: list[dict[str, Any]]
    """The complete configurations that raced."""


def solve_portfolio(formula: CNF | Iterable[Sequence[int]], workers: int | Sequence[Mapping[str, Any]] = 2, *,
                    time_limit: float | None = None, conflict_limit: int | None = None,
                    proof: PathLike | None = None, proof_format: str = "text") -> PortfolioResult:
    """Race solvers on `formula`; returns (worker, sat, model, stats, proof, configs).

    `time_limit` (seconds, for the whole race) and `conflict_limit` (per worker) give
    sat None and worker -1 when they run out.  `proof`: a file for the winner's DRAT proof,
    written when the answer is unsatisfiable."""
    cnf = formula if isinstance(formula, CNF) else CNF(formula)
    if isinstance(workers, int):
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers}")
        configs = portfolio_configs(workers)
    else:
        configs = [complete(w, "solve_portfolio() worker") for w in workers]
        if not configs:
            raise ValueError("workers must name at least one configuration")
    if proof_format not in ("text", "binary"):
        raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
    return race(cnf.nvars, cnf.db, configs, time_limit=time_limit, conflict_limit=conflict_limit,
                proof=proof, proof_format=proof_format)[0]


def race(nvars: int, clauses: Any, configs: list[dict[str, Any]], *, time_limit: float | None,
         conflict_limit: int | None, proof: PathLike | None, proof_format: str, alt: Any = None,
         alt_threads: int = 0) -> tuple[PortfolioResult, int]:
    """solve_portfolio on a formula (a ClauseDb, or clauses of internal literals) and complete
    configurations, checked; the last `alt_threads` workers race on `alt` instead.  Returns the
    result and the formula the winner searched (0 `clauses`, 1 `alt`)."""
    kw: dict[str, Any] = {}
    if time_limit is not None or conflict_limit is not None:
        kw = {"max_conflicts": conflict_limit, "seconds": time_limit}
    if alt is not None:
        kw.update(alt=alt, alt_threads=alt_threads)
    res = _nn.solve_portfolio(nvars, clauses, configs, want_proof=proof is not None, **kw)
    assert res is not None
    worker, formula, sat, values, conflicts, decisions, propagations, restarts, steps = res
    written = None
    if proof is not None and sat is False:
        written = os.fspath(proof)
        with open(written, "wb") as f:
            _native.write_steps(f, steps, proof_format == "binary")
    stats = dict(zip(STATS, (conflicts, decisions, propagations, restarts)))
    model = model_literals(values, nvars) if sat else None
    return PortfolioResult(worker, sat, model, stats, written, configs), formula
