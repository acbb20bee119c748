"""Native engine for norvane (clause arena + CDCL search core)."""

import os
from collections.abc import Mapping, Sequence
from typing import Any, Final, Optional, Union

from typing_extensions import Buffer

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: Final[str]
__all__: list[str]

# Internal literals are 2*v + s (s = 1 for the negated literal); DIMACS
# literals are +(v+1) / -(v+1).

def neg(l: int) -> int: ...
def var_of(l: int) -> int: ...
def is_neg(l: int) -> bool: ...
def mk_lit(v: int, negated: bool = False) -> int: ...
def from_dimacs(d: int) -> int: ...
def to_dimacs(l: int) -> int: ...

# The solver's tables, in order: (name, kind, default, words, help) per search option, kind one
# of "str", "bool", "u32", "u64", "f64" and words the accepted words of a "str" option; and the
# names of the eleven counters (properties of Solver).  Outside __all__.
SOLVER_OPTIONS: Final[tuple[tuple[str, str, Union[bool, int, float, str], tuple[str, ...], str], ...]]
SOLVER_COUNTERS: Final[tuple[str, ...]]

class PanicException(BaseException):
    """Raised when the native code hits an internal fault.

    Like SystemExit, it derives from BaseException (not Exception), so that it
    usually propagates to the top and ends the interpreter instead of being
    swallowed by an ordinary `except Exception` clause."""

class ClauseDb:
    """A clause database living in native memory."""

    def __new__(cls, nvars: int = 0) -> ClauseDb: ...
    def add_clause(self, lits: Sequence[int]) -> bool:
        """Add a clause of internal literals.  False means it was a tautology."""
    def add_dimacs(self, lits: Sequence[int]) -> bool:
        """Add a clause of signed 1-based DIMACS literals."""
    def clause(self, i: int) -> list[int]:
        """Literals of clause `i`."""
    def clauses(self) -> list[list[int]]:
        """Every clause, as a list of lists -- the round-trip out of the arena."""
    def satisfied_by(self, model: Sequence[int]) -> bool:
        """Whether every clause has a literal of `model` (signed 1-based DIMACS literals, as
        Solver.model gives them).  0 raises ValueError."""
    def read_dimacs(self, path: _Path) -> int:
        """Read a DIMACS CNF file (plain text) and add its clauses, as add_dimacs would add each.
        Returns the number of clauses read; num_vars rises to the header's variable count.

        Malformed input raises ValueError 'FILE:LINE:COLUMN: problem'; a header asking for more
        variables than memory holds, MemoryError at once; an unreadable file, OSError.  On any
        error nothing is added.  The lock is released while the file is read; Ctrl-C stops it."""
    def parse_dimacs(self, data: Union[Buffer, str], name: str = "<data>") -> int:
        """The same as read_dimacs, for DIMACS CNF content held in memory (bytes, bytearray,
        memoryview, mmap, any bytes-like object, or a str); `name` stands for it in messages."""
    @property
    def num_vars(self) -> int: ...
    @property
    def num_clauses(self) -> int: ...
    @property
    def num_lits(self) -> int: ...
    @property
    def memory_bytes(self) -> int: ...
    def __len__(self) -> int: ...

class Solver:
    """The native CDCL search core (Sprint 2).

    Deliberately mirrors `norvane.solver.Solver` so the two can be compared
    bit-for-bit while the port is intentionally faithful.
    """

    def __new__(
        cls,
        nvars: int = 0,
        # begin generated from src/solver/config.hpp by tools/gen_stub.py
        restart: str = "luby",
        ccmin: str = "deep",
        phase_saving: bool = True,
        init_phase: bool = False,
        target_phase: bool = True,
        target_reset: int = 0,
        walk_flips: int = 20000,
        walk_interval: int = 1,
        walk_patience: int = 3,
        walk_min_conflicts: int = 5000,
        var_decay: float = 0.8,
        var_decay_max: float = 0.95,
        cla_decay: float = 0.999,
        luby_base: float = 100.0,
        first_reduce: int = 2000,
        reduce_inc: int = 300,
        glue_keep: int = 2,
        block_restart: bool = True,
        rnd_freq: float = 0.0,
        rnd_seed: int = 91648253,
        # end generated
    ) -> Solver: ...
    def new_var(self) -> int: ...
    def enable_proof(self, path: Optional[_Path] = None, binary: bool = False) -> None:
        """Turn on DRAT proof logging.  Must be called before any clause is added,
        since a proof that starts midway through is not a proof.

        Without a path the proof is kept in memory, compactly encoded, and proof_steps() returns
        it.  With a path the file is created or truncated and every step is written to it as it
        is made (DRAT text, or binary DRAT with binary=True); nothing is kept in memory and
        proof_steps() returns [].  The file is written out at the end of every add_clause,
        add_clauses and solve call and closed when the solver is released.  OSError: a file that
        cannot be opened (nothing changed); a failed write, from the call that hit it and from
        every later add_clause, add_clauses or solve call."""
    def proof_steps(self) -> list[tuple[str, list[int]]]:
        """The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}."""
    def add_clause(self, lits: Sequence[int]) -> bool: ...
    def add_clauses(self, clauses: Union[Sequence[Sequence[int]], ClauseDb]) -> int:
        """Add many clauses: a sequence of clauses of internal literals, or a ClauseDb (read
        natively, no Python objects made).  The same as add_clause on each clause in order,
        except that every clause is converted and room is made for all of them first: bad input
        anywhere changes nothing.  Returns the number of clauses kept, that is, not dropped as
        tautologies, as already satisfied, or for arriving once the formula is unsatisfiable."""
    def solve(
        self,
        max_conflicts: Optional[int] = None,
        seconds: Optional[float] = None,
        assumptions: Optional[Sequence[int]] = None,
        release_gil: bool = False,
    ) -> Optional[bool]:
        """Search for a model: True (see `model`), False (unsatisfiable) or None (a limit ran out, or
        interrupt() was called).

        `seconds` is a finite number of seconds, 0 or more (ValueError otherwise); the call returns
        within about 0.1 s of it.  With release_gil=True the search runs with the interpreter lock
        released: other Python threads run meanwhile, and their calls on this solver raise
        RuntimeError until it returns.  Ctrl-C raises KeyboardInterrupt within a fraction of a
        second; the solver stays usable.

        `assumptions` are literals decided first, one decision level each, in the given order;
        restarts keep them.  With assumptions, True means a model that makes every one of them
        true, and False that the formula and the assumptions have no common model: `ok` stays
        True, `core()` names the failed assumptions, and a proof records the clause of their
        negations.  A literal over a variable the solver lacks creates it."""
    def interrupt(self) -> None:
        """Ask a running solve() to stop: it returns None at its next check, within milliseconds.
        Safe to call from any thread (or a signal handler) while solve() runs; a request made while
        no search runs is dropped when the next solve() starts."""
    def core(self) -> list[int]:
        """The failed assumptions of the last solve: after False under assumptions, a subset of them,
        in the order given, with which the formula alone is unsatisfiable.  Empty after True or
        None, and when the formula itself is unsatisfiable."""
    def propagate(self, assumptions: Sequence[int]) -> tuple[bool, list[int]]:
        """Unit propagation of `assumptions` on top of level 0, without search: (ok, implied).

        The assumptions are made true in order, each followed by what it implies through the clauses
        given and learned; `implied` lists every literal this made true (assumptions included, each
        once) in that order, and `ok` is False when a conflict was met, `implied` then ending where it
        stopped.  Literals already true at level 0 are not listed.  Nothing else changes: no variable
        is created, and statistics, phases, variable order and proof stay as they were, so later
        searches are the same as without the call (a solver left at a model is first backtracked, as
        add_clause does)."""
    def check_watch_invariant(self) -> list[str]: ...
    @property
    def model(self) -> list[bool]: ...
    @property
    def nvars(self) -> int: ...
    @property
    def ok(self) -> bool: ...
    # begin generated from src/solver/stats.hpp by tools/gen_stub.py
    @property
    def decisions(self) -> int: ...
    @property
    def propagations(self) -> int: ...
    @property
    def conflicts(self) -> int: ...
    @property
    def learned(self) -> int: ...
    @property
    def learned_lits(self) -> int: ...
    @property
    def minimized_lits(self) -> int: ...
    @property
    def restarts(self) -> int: ...
    @property
    def blocked_restarts(self) -> int: ...
    @property
    def reductions(self) -> int: ...
    @property
    def deleted(self) -> int: ...
    @property
    def max_trail(self) -> int: ...
    # end generated

class Preprocessor:
    """Native preprocessor: subsumption, self-subsuming resolution, pure literals
    and bounded variable elimination.

    With proof_path (str, bytes or os.PathLike) the proof log goes to that file
    as it is produced, as DRAT text or, with proof_binary=True, binary DRAT,
    instead of being kept (proof_steps() is then empty); it implies with_proof."""

    def __new__(
        cls,
        nvars: int = 0,
        do_bve: bool = True,
        max_resolvent_len: int = 20,
        with_proof: bool = False,
        proof_path: Optional[str | bytes | os.PathLike[str] | os.PathLike[bytes]] = None,
        proof_binary: bool = False,
    ) -> Preprocessor: ...
    def freeze(self, v: int) -> None:
        """Keep variable `v` from being eliminated; if it already was, bring it back first."""
    def add_clause(self, lits: Sequence[int]) -> None:
        """Add a clause of internal literals (also after run(); eliminated variables it names are
        brought back with the clauses saved for them)."""
    def add_clauses(self, clauses: Sequence[Sequence[int]] | ClauseDb) -> int:
        """Add every clause of `clauses` (a sequence of clauses, or a ClauseDb,
        copied natively) as add_clause would, in order; return how many were
        stored (tautologies are not).  Bad input raises before any is added."""
    def run(self, rounds: int = 3) -> bool:
        """Simplify; False when the formula is unsatisfiable.  Ctrl-C raises KeyboardInterrupt
        promptly and leaves the object consistent (a later run keeps what this one did)."""
    def reduced(self) -> list[list[int]]: ...
    def reconstruct(self, model: Sequence[bool]) -> list[bool]: ...
    def proof_steps(self) -> list[tuple[str, list[int]]]: ...
    @property
    def nvars(self) -> int: ...
    @property
    def unsat(self) -> bool: ...
    @property
    def units(self) -> int: ...
    @property
    def subsumed(self) -> int: ...
    @property
    def strengthened(self) -> int: ...
    @property
    def eliminated_vars(self) -> int: ...
    @property
    def resolvents(self) -> int: ...
    @property
    def pure(self) -> int: ...
    @property
    def reactivated(self) -> int:
        """Eliminated variables brought back by a later clause or freeze()."""

_CheckResult = tuple[bool, str, int, int, int, int, int, int, int, bool]
"""(ok, message, steps, rup, rat, deleted, skipped, rat_checks, failed_step, empty_derived)"""

def check_proof(
    nvars: int,
    clauses: Union[Sequence[Sequence[int]], ClauseDb],
    steps: Union[Sequence[tuple[bool, Sequence[int]]], Buffer],
    check_rat: bool = True,
    apply_deletions: bool = True,
) -> _CheckResult:
    """Check a DRAT proof against a formula.

    Returns the same shape `norvane.proof.CheckResult` carries, so the Python
    wrapper can present one interface over either implementation.

    `clauses` may also be a ClauseDb, read in place.  `steps` may also be a
    bytes-like object (bytes, bytearray, mmap, memoryview) holding a DRAT
    proof, text or binary (told apart by content), parsed as the check goes;
    a malformed proof raises ValueError naming its byte offset (and line).
    """

_PortfolioResult = tuple[int, int, Optional[bool], list[bool], int, int, int, int, list[tuple[bool, list[int]]]]
"""(worker, formula, sat, model, conflicts, decisions, propagations, restarts, proof)"""

def solve_portfolio(
    nvars: int,
    clauses: Union[Sequence[Sequence[int]], ClauseDb],
    configs: Sequence[Mapping[str, Any]],
    alt: Union[Sequence[Sequence[int]], ClauseDb, None] = None,
    alt_threads: int = 0,
    want_proof: bool = False,
    max_conflicts: Optional[int] = None,
    seconds: Optional[float] = None,
) -> Optional[_PortfolioResult]:
    """Run a threaded portfolio over one formula and return the first answer.

    Releases the GIL for the duration: without that the Python interpreter lock
    would be held across the whole solve and the threads would serialise, which
    would make the entire exercise pointless.

    `max_conflicts` bounds each worker's search, `seconds` the whole call.  When
    they run out before any worker answers, the result is (-1, 0, None, [],
    conflicts, decisions, propagations, restarts, []) with the counters added up
    over every worker.  Ctrl-C stops every worker and raises KeyboardInterrupt.
    """
