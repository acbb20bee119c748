"""The default way to decide a formula: `norvane.solve()` and `norvane solve FILE`.

Three stages.  Preprocessing runs one round at a time until a round changes almost nothing (fewer
than QUIET_SHARE of the input's clauses, at least one change) or its share of the time limit is
spent; an elimination often opens the next, so on some formulas hundreds of rounds pay off.  Then
a portfolio of configurations chosen by measurement (PORTFOLIO, below, with the reasons for each)
races, one thread per core: the first, the engine's defaults, on the input formula (so the single
solver's own run is in the race) unless preprocessing more than halved it, the others on the
reduced formula.  A model of the reduced formula is extended to the input formula; every model is
checked against the input.  A proof of unsatisfiability is the winner's refutation of the input, or the preprocessor's steps
followed by the winner's refutation of the reduced formula: either refutes the input.

`deterministic=True` (the command's `--jobs 1 --no-preprocess`) is one solver with the default
options on the input formula, as `Solver(formula).solve()`: answers, models, counters and proofs
are the same on every run.  With one job and preprocessing the run is also repeatable as long as
preprocessing ends on its own rather than on its time share.  With two or more jobs the answer is
the same but which worker wins, its model and its proof may differ from run to run.
"""
from __future__ import annotations

import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from .cnf import CNF, PathLike
from .options import DEFAULTS, check_names
from .portfolio import PortfolioResult, race
from .preprocess import COUNTERS, Preprocessed, start
from .solver import Solver

#: A round that changes fewer than this share of the input's clauses ends preprocessing.
QUIET_SHARE = 0.001
#: Share of the time limit preprocessing may take.
TIME_SHARE = 0.2
#: Preprocessing time without a time limit.
UNLIMITED_SECONDS = 60.0
#: After preprocessing, worker 0 searches the input formula as long as the reduced formula keeps
#: at least this share of its clauses; below, every worker searches the reduced formula.
INPUT_SHARE = 0.5


def on_input(clauses: int, reduced: int) -> bool:
    """Whether worker 0 of a portfolio after preprocessing searches the input formula (of
    `clauses` clauses, `reduced` after preprocessing).  Where preprocessing changed little it
    may still send the search elsewhere, and the single solver's own run in the race keeps any
    formula from taking much longer than alone; where it shrank the formula to less than
    INPUT_SHARE, loading the input again costs more than that run is likely to save."""
    return reduced >= INPUT_SHARE * clauses


def race_both(nvars: int, db: Any, reduced: list[list[int]] | None, configs: list[dict[str, Any]],
              **limits: Any) -> tuple[PortfolioResult, bool]:
    """The portfolio on the input's clause store `db` and, after preprocessing, on its `reduced`
    clauses as the preprocessor gives them: worker 0 on the input and the others on the reduced
    clauses where on_input says so, every worker on the reduced clauses otherwise.  Also tells
    whether the winner searched the input after preprocessing (its model needs no reconstruction,
    its proof no preprocessing steps).  `limits`: race's keyword arguments."""
    both = reduced is not None and on_input(len(db), len(reduced))
    r, formula = race(nvars, db if reduced is None or both else reduced, configs, alt=reduced if both else None,
                      alt_threads=len(configs) - 1, **limits)
    return r, both and formula == 0

Progress = Callable[[int, dict[str, int], float], None]


def _changes(stats: Mapping[str, int]) -> int:
    return sum(stats[k] for k in ("units", "subsumed", "strengthened", "eliminated_vars"))


def simplify(formula: CNF | Iterable[Sequence[int]], *, seconds: float | None = UNLIMITED_SECONDS,
             freeze: Iterable[int] = (), proof: PathLike | None = None, proof_format: str = "text",
             progress: Progress | None = None, max_rounds: int | None = None) -> Preprocessed:
    """Preprocess `formula` round after round until a round changes almost nothing, the
    formula is refuted, `max_rounds` have run, or `seconds` have passed (checked between
    rounds).  `progress(rounds, counters, elapsed)` is called after every round.  The result's
    `settings["rounds"]` is the number of rounds run, so `write_map` records a reduction that
    `load_map` repeats exactly."""
    t0 = time.monotonic()
    cnf, pre, settings = start(formula, freeze, proof, proof_format, {}, "simplify()")
    quiet = max(1, int(QUIET_SHARE * len(cnf)))
    rounds = 0
    before = _changes({k: getattr(pre, k) for k in COUNTERS})
    while max_rounds is None or rounds < max_rounds:
        ok = pre.run(1)
        rounds += 1
        stats = {k: getattr(pre, k) for k in COUNTERS}
        if progress is not None:
            progress(rounds, stats, time.monotonic() - t0)
        after = _changes(stats)
        if not ok or after - before < quiet:
            break
        before = after
        if seconds is not None and time.monotonic() - t0 >= seconds:
            break
    settings["rounds"] = rounds
    return Preprocessed(cnf, pre, settings)


def _round_line(rounds: int, c: Mapping[str, int], elapsed: float) -> str:
    return (f"preprocess round {rounds}: {c['eliminated_vars']:,} variables eliminated, {c['subsumed']:,} subsumed, "
            f"{c['strengthened']:,} strengthened, {c['units']:,} units ({elapsed:.2f}s)")


class Config(NamedTuple):
    """A portfolio configuration of the pipeline."""

    name: str
    options: dict[str, Any]
    """What it changes over the engine's defaults."""
    why: str
    """What it solves that the others do not."""


#: The pipeline's portfolio, in the order workers take them: with N workers, the first N race.
#: Chosen and ordered by measurement (bench/config_survey.py: each candidate alone, after the
#: pipeline's preprocessing, on both shared instance sets; CPU seconds of the search below, the
#: table in README): each entry is the one that adds most to those before it.
PORTFOLIO: list[Config] = [
    Config("default", {}, "the engine's defaults, the single solver's own run: no instance is slower than with "
           "one solver by more than the start-up cost, and it is the fastest on scheduling and some circuits "
           "(sched_sat_tot 0.11 s, fact20 0.87 s against 4.57 s with glucose, 3bitadd_31 0.04 s against 1.67 s)"),
    Config("glucose", {"restart": "glucose"}, "restarts by glue averages: the only candidate that refutes the "
           "ordering principle (op70 0.17 s, every other one out of 30 s), and the fastest on Tseitin grids "
           "(1.5 s against 12.7 s), pigeonhole (0.8 s against 3.9 s), token rings (0.45 s against 4.7 s) and "
           "random 3-SAT at the threshold (r3_400_426_d 0.29 s, the defaults out of time)"),
    Config("walk", {"walk_min_conflicts": 0, "walk_patience": 1000000, "walk_flips": 100000},
           "local search from the first restart on, never given up: random satisfiable formulas fall to it "
           "(r3_400_426_d 0.02 s; rand3-n250-s1, uf250-01 and rand3-n200-s1 without search)"),
    Config("luby512-basic", {"luby_base": 512.0, "ccmin": "basic"}, "long Luby restarts and cheap "
           "minimisation: factoring (fact20 0.58 s) and second on random 3-SAT (r3_400_426_d 0.07 s)"),
    Config("glucose-saved", {"restart": "glucose", "target_phase": False}, "glucose restarts deciding by "
           "saved phases rather than the target phase: factoring (fact18 0.15 s against 0.8 s or more)"),
]


def configs(n: int, base: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """The complete options of `n` pipeline workers: the first `n` PORTFOLIO entries, `base`
    merged over the first one; beyond the list, its entries again with other seeds and a few
    random decisions."""
    if base:
        check_names(base, "options")
    out = []
    for i in range(n):
        cfg = {**DEFAULTS, **PORTFOLIO[i % len(PORTFOLIO)].options, **((base or {}) if i == 0 else {})}
        if i >= len(PORTFOLIO):
            cfg["rnd_seed"] = (cfg["rnd_seed"] + 7919 * i) % 2**32
            cfg["rnd_freq"] = max(cfg["rnd_freq"], 0.005)
        out.append(cfg)
    return out


def config_name(worker: int) -> str:
    """The name of the configuration `configs` gives worker `worker`."""
    name = PORTFOLIO[worker % len(PORTFOLIO)].name
    return name if worker < len(PORTFOLIO) else f"{name}/{worker // len(PORTFOLIO) + 1}"


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# ---------------------------------------------------------------------------------------------
# One call


class SolveResult(NamedTuple):
    """What `solve()` found."""

    sat: bool | None
    """True, False, or None when a limit ran out."""
    model: list[int] | None
    """A model of the input formula, one signed literal per variable, when satisfiable."""
    proof: str | None
    """The DRAT proof of the input formula written when unsatisfiable and a proof was asked for."""
    worker: int
    """The winning worker (0 for a single solver; -1 when no search answered: a limit ran out,
    or preprocessing alone refuted the formula)."""
    config: str | None
    """The winning configuration's name."""
    stats: dict[str, int]
    """The winner's search counters."""
    preprocess: dict[str, int] | None
    """The preprocessor's counters and its number of rounds (None without preprocessing)."""
    times: dict[str, float]
    """Seconds spent reading, preprocessing, searching, and in all."""


def satisfies(cnf: CNF, model: Sequence[int]) -> bool:
    """Whether `model` (signed literals; a variable it leaves out is false) satisfies every
    clause of `cnf`, checked natively where the clauses lie (no Python object per clause)."""
    n = cnf.nvars
    value = bytearray(n + 1)
    for lit in model:
        if 0 < lit <= n:
            value[lit] = 1
    return cnf.db.satisfied_by([v if value[v] else -v for v in range(1, n + 1)])


def solve(formula: CNF | PathLike | Iterable[Sequence[int]], *, time_limit: float | None = None,
          conflict_limit: int | None = None, jobs: int | None = None, preprocess: bool = True,
          deterministic: bool = False, proof: PathLike | None = None, proof_format: str = "text",
          progress: Callable[[str], None] | None = None, verbose: bool = False, **options: Any) -> SolveResult:
    """Decide `formula` (a `CNF`, clauses of signed literals, or a DIMACS file) the fastest
    way the engine knows: preprocessing until it stops paying, then a portfolio of `jobs`
    measured configurations (one per core by default), the model checked against the input.

    `time_limit` (seconds, the whole call) and `conflict_limit` (per worker) give sat None when
    they run out.  `proof`: a file for a DRAT proof of the input, written when the answer is
    unsatisfiable (otherwise it is not touched).  `deterministic=True` is one solver with the
    default options on the input formula, exactly `Solver(formula).solve()`: the same answer,
    model, counters and proof on every run (so are `jobs=1` runs whose preprocessing ends on its
    own).  With two or more jobs the winner, its model and its proof may differ between runs.
    `options` (search options by name) replace the defaults of the first worker.
    `progress(line)` is called with a line of text after every preprocessing round, when the
    search starts and when it ends; `verbose=True` prints those lines to standard error."""
    t0 = time.monotonic()
    if time_limit is not None and not (time_limit >= 0 and time_limit != float("inf")):
        raise ValueError(f"time_limit must be a finite number of at least 0, not {time_limit!r}")
    if proof_format not in ("text", "binary"):
        raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
    check_names(options, "solve()")
    if jobs is not None and (not isinstance(jobs, int) or isinstance(jobs, bool)):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    if deterministic:
        if jobs not in (None, 1):
            raise ValueError(f"deterministic=True runs one solver: jobs must be 1 or None, not {jobs}")
        jobs, preprocess = 1, False
    elif jobs is None:
        jobs = cores()
    if verbose and progress is None:
        def progress(line: str) -> None:
            print(f"c {line}", file=sys.stderr, flush=True)
    if isinstance(formula, (str, os.PathLike)):
        cnf = CNF.from_file(formula)
    else:
        cnf = formula if isinstance(formula, CNF) else CNF(formula)
    times = {"read": time.monotonic() - t0}

    def left() -> float | None:
        return None if time_limit is None else max(0.0, time_limit - (time.monotonic() - t0))

    target = None if proof is None else os.fspath(proof)
    scratch: list[str] = []

    def part() -> str:
        fd, path = tempfile.mkstemp(prefix=".norvane-", suffix=".tmp", dir=os.path.dirname(target or "") or ".")
        os.close(fd)
        scratch.append(path)
        return path

    try:
        pre, pre_stats = None, None
        # A proof is the preprocessor's steps, then the search's: written apart, joined at the end.
        pre_proof = part() if target is not None and preprocess else None
        search_proof = part() if target is not None else None
        if preprocess:
            t1 = time.monotonic()
            budget = UNLIMITED_SECONDS if time_limit is None else TIME_SHARE * time_limit
            shown = None if progress is None else (lambda rounds, c, elapsed: progress(_round_line(rounds, c, elapsed)))
            pre = simplify(cnf, seconds=budget, proof=pre_proof, proof_format=proof_format, progress=shown)
            pre_stats = {**pre.stats, "rounds": pre.settings["rounds"]}
            times["preprocess"] = time.monotonic() - t1
        t2 = time.monotonic()
        sat: bool | None
        model: list[int] | None
        stats: dict[str, int]
        if pre is not None and pre.unsat:
            sat, model, worker, stats, input_won = False, None, -1, {}, False
        else:
            if progress is not None:
                racing = ", ".join(config_name(i) for i in range(jobs)) if jobs > 1 else "one solver"
                kept = len(cnf) if pre is None else len(pre.reduced())
                size = f"{kept:,}"
                if pre is not None and jobs > 1 and on_input(len(cnf), kept):
                    size = f"{size} ({config_name(0)}: the input's {len(cnf):,})"
                progress(f"search: {racing} on {cnf.nvars:,} variables, {size} clauses")
            sat, model, worker, stats, input_won = search(cnf, pre, jobs, options, left(), conflict_limit,
                                                         search_proof, proof_format)
        times["search"] = time.monotonic() - t2
        if progress is not None:
            answer = {True: "satisfiable", False: "unsatisfiable", None: "no answer within the limits"}[sat]
            by = "preprocessing" if worker < 0 and sat is False else (config_name(worker) if worker >= 0 else "")
            progress(f"{answer}" + (f" ({by})" if by else "") + f" after {time.monotonic() - t0:.2f}s")
        if sat:
            if pre is not None and not input_won:
                model = pre.reconstruct(model or ())
            if not satisfies(cnf, model or ()):
                raise RuntimeError("the model found does not satisfy the formula (an internal fault)")
        written = None
        if sat is False and search_proof is not None:
            if pre_proof is not None and not input_won:
                with open(pre_proof, "ab") as f, open(search_proof, "rb") as g:
                    shutil.copyfileobj(g, f, 1 << 20)
                os.replace(pre_proof, target)  # type: ignore[arg-type]
            else:
                # the search refuted the input itself: its proof stands alone
                os.replace(search_proof, target)  # type: ignore[arg-type]
            written = target
    finally:
        for path in scratch:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
    times["total"] = time.monotonic() - t0
    return SolveResult(sat, model, written, worker, None if worker < 0 else config_name(worker), stats, pre_stats,
                       times)


def search(cnf: CNF, pre: Preprocessed | None, jobs: int, options: Mapping[str, Any], seconds: float | None,
           conflicts: int | None, proof: str | None,
           proof_format: str) -> tuple[bool | None, list[int] | None, int, dict[str, int], bool]:
    """(sat, model, worker, counters, on_input) of a search of `cnf`, or of its reduction
    `pre`: the portfolio, or one solver.  `on_input` tells that the winner searched the input
    formula itself, so its model needs no reconstruction and its proof no preprocessing steps.

    In a portfolio after preprocessing, worker 0 (the default configuration) races on the
    input formula and the others on the reduced one (race_both): the single solver's own run
    is in the race, so no formula takes much longer than it would alone, while the reduction
    serves the configurations for which it pays."""
    if jobs > 1:
        r, input_won = race_both(cnf.nvars, cnf.db, None if pre is None else pre.reduced(), configs(jobs, options),
                                 time_limit=seconds, conflict_limit=conflicts, proof=proof, proof_format=proof_format)
        return r.sat, r.model, r.worker, r.stats, pre is None or input_won
    with Solver(cnf if pre is None else pre.cnf, proof=proof, proof_format=proof_format, **options) as s:
        sat = s.solve(conflict_limit=conflicts, time_limit=seconds)
        return sat, s.model, 0 if sat is not None else -1, s.stats, pre is None
