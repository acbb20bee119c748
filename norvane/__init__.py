"""norvane: a SAT toolkit -- exact, deterministic CDCL solving with DRAT proofs, cores,
preprocessing and a threaded portfolio, over signed DIMACS literals.

    >>> import norvane
    >>> norvane.solve([[1, 2], [-1, 2], [-2, 3]]).sat
    True
    >>> from norvane import CNF, Solver
    >>> with Solver(CNF([[1, 2], [-1, 2], [-2, 3]])) as s:
    ...     s.solve(), s.model[1:]
    (True, [2, 3])

Modules: `norvane.pipeline` (solve: preprocessing, portfolio, reconstruction in one call),
`norvane.cnf` (formulas, DIMACS files), `norvane.solver` (Solver), `norvane.proof` (check_proof),
`norvane.preprocess`, `norvane.portfolio`, `norvane.cli` (the `norvane` command), and
`norvane.distributed` (batches and cube and conquer on Dask, imported on its own: it needs the
`distributed` extra).  The native engine underneath is `norvane_native` (internal literals).
"""
from __future__ import annotations

import norvane_native as _nn

from ._native import PanicException
from .cnf import CNF
from .options import DEFAULTS as SOLVER_DEFAULTS
from .pipeline import SolveResult, solve
from .portfolio import PortfolioResult, solve_portfolio
from .preprocess import Preprocessed, load_map, preprocess
from .proof import CheckResult, check_proof
from .solver import Solver

__version__: str = _nn.__version__

__all__ = ["CNF", "CheckResult", "PanicException", "PortfolioResult", "Preprocessed", "SOLVER_DEFAULTS", "SolveResult",
           "Solver", "__version__", "check_proof", "load_map", "preprocess", "solve", "solve_portfolio"]
