"""The `norvane` command: solve | check | preprocess | batch.

    norvane solve [FILE]            decide a DIMACS CNF formula (SAT-competition output)
    norvane check CNF PROOF         verify a DRAT proof (text or binary) against a formula
    norvane preprocess CNF -o OUT   simplify a formula and write it as DIMACS
    norvane batch FILE...           decide many formulas on a Dask cluster

Exit codes: solve 10 satisfiable, 20 unsatisfiable, 0 unknown; check 0 accepted, 1 rejected;
batch 0 when every formula was answered (with --check, every proof verified), 1 otherwise;
1 an internal check failed; 2 bad input or option, or out of memory (one line on standard
error); 130 interrupted (Ctrl-C), never 0.  An answer found before the interruption is still
printed.

Files the command writes (proofs, outputs, maps, statistics) are written under a temporary name
beside the target and renamed when complete; on interruption, and for a proof when the answer is
not UNSAT, the temporary file is removed and the target left as it was.
"""
from __future__ import annotations

import argparse
import math
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any, NoReturn, TextIO

import norvane_native as _nn

from . import _native, pipeline
from .cnf import CNF, to_dimacs, to_internal
from .options import CHOICES, DEFAULTS, HELP
from .preprocess import OPTIONS as PRE_OPTIONS
from .preprocess import Preprocessed, load_map, preprocess
from .proof import check_proof
from .solver import STATS

EXIT_SAT, EXIT_UNSAT, EXIT_UNKNOWN, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 10, 20, 0, 1, 2, 130
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples", "queens8.cnf")
MAX_WORKERS = 64


class UsageError(Exception):
    """Bad input or option: one line on standard error, exit 2."""


class ClusterError(Exception):
    """The cluster could not finish the work (a cube whose worker died twice): exit 1."""


class TimeUp(Exception):
    """The time limit ran out while reading, loading or preprocessing."""


# ---------------------------------------------------------------------------------------------
# Option values


def _finite(text: str) -> float:
    try:
        x = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(x) or x < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number of at least 0")
    return x


def _count(text: str, least: int = 0) -> int:
    if not re.fullmatch(r"\+?[0-9]+", text.strip()):
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least {least}")
    n = int(text)
    if n < least:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least {least}")
    return n


def _positive(text: str) -> int:
    return _count(text, 1)


def _workers(text: str) -> int:
    n = _count(text, 1)
    if n > MAX_WORKERS:
        raise argparse.ArgumentTypeError(f"{n} workers is too many (at most {MAX_WORKERS})")
    return n


def _literals(text: str) -> list[int]:
    toks = [t for t in re.split(r"[\s,]+", text.strip()) if t]
    if not toks or not all(re.fullmatch(r"[+-]?[0-9]+", t) for t in toks):
        raise argparse.ArgumentTypeError(f"{text!r} is not a list of literals such as '1,-3,5'")
    lits = [int(t) for t in toks]
    if 0 in lits or any(abs(d) > 2**31 - 1 for d in lits):
        raise argparse.ArgumentTypeError(f"{text!r}: literals are non-zero and within 2147483647")
    return lits


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def _check_solver_options(opts: dict[str, Any]) -> None:
    """Each option value through the engine's own conversion, so a bad one is named."""
    for name, value in opts.items():
        if value == DEFAULTS[name]:
            continue
        try:
            _nn.Solver(0, **{name: value})
        except (ValueError, OverflowError, TypeError) as e:
            raise UsageError(f"{_flag(name)} {value}: {e}") from None


# ---------------------------------------------------------------------------------------------
# Files written under a temporary name


class Output:
    """A file written under a temporary name beside `target` and renamed over it by commit().
    A target that exists and is not a regular file (/dev/stdout, a pipe) is never replaced: the
    content goes to a temporary file first and is copied into it, in one go, by commit()."""

    def __init__(self, target: str, option: str) -> None:
        if target == "-":
            raise UsageError(f"{option} -: standard output is not supported here; give a file name")
        self.target, self.option, self.done = target, option, False
        if os.path.isdir(target):
            raise UsageError(f"{option} {target}: is a directory")
        self.special = os.path.exists(target) and not os.path.isfile(target)
        if self.special and not os.access(target, os.W_OK):
            raise UsageError(f"{option} {target}: cannot write: permission denied")
        where = tempfile.gettempdir() if self.special else (os.path.dirname(target) or ".")
        try:
            fd, self.path = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=where)
        except OSError as e:
            raise UsageError(f"{option} {target}: cannot write: {e.strerror or e}") from None
        os.close(fd)
        os.chmod(self.path, 0o666 & ~_UMASK)

    def commit(self) -> None:
        if self.special:
            with open(self.path, "rb") as f, open(self.target, "wb") as g:
                shutil.copyfileobj(f, g, 1 << 20)
            os.unlink(self.path)
        else:
            os.replace(self.path, self.target)
        self.done = True

    def discard(self) -> None:
        if not self.done:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
        self.done = True


def _umask() -> int:
    old = os.umask(0)
    os.umask(old)
    return old


_UMASK = _umask()


def _scratch(beside: str) -> str:
    """A temporary file next to `beside` (same file system), for a part of a proof."""
    fd, path = tempfile.mkstemp(prefix=".norvane-", suffix=".tmp", dir=os.path.dirname(beside) or ".")
    os.close(fd)
    return path


def _append(dst: str, src: str) -> None:
    with open(src, "rb") as f, open(dst, "ab") as g:
        shutil.copyfileobj(f, g, 1 << 20)


# ---------------------------------------------------------------------------------------------
# Signals


@contextmanager
def deferred_interrupt(run: Run) -> Iterator[None]:
    """Ctrl-C is recorded, not raised, while an answer is being printed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.getsignal(signal.SIGINT)

    def note(signum: int, frame: Any) -> None:
        run.interrupted = True

    if old is signal.default_int_handler:
        signal.signal(signal.SIGINT, note)
    try:
        yield
    finally:
        if old is signal.default_int_handler:
            signal.signal(signal.SIGINT, old)


class Deadline:
    """--time-limit: the native searches get the seconds left; reading, loading and
    preprocessing are cut by an alarm that raises TimeUp while `bounded` is set."""

    def __init__(self, start: float, limit: float | None) -> None:
        self.end = None if limit is None else start + limit
        self.bounded = False
        if self.end is not None and hasattr(signal, "setitimer"):
            signal.signal(signal.SIGALRM, self._alarm)
            signal.setitimer(signal.ITIMER_REAL, max(self.left() or 0.0, 1e-6))

    def _alarm(self, signum: int, frame: Any) -> None:
        if self.bounded:
            raise TimeUp()

    def left(self) -> float | None:
        return None if self.end is None else max(0.0, self.end - time.monotonic())

    def over(self) -> bool:
        return self.end is not None and time.monotonic() >= self.end

    @contextmanager
    def phase(self) -> Iterator[None]:
        """A phase without a native deadline of its own."""
        self.bounded = True
        if self.over():
            self.bounded = False
            raise TimeUp()
        try:
            yield
        finally:
            self.bounded = False

    def cancel(self) -> None:
        if self.end is not None and hasattr(signal, "setitimer"):
            signal.setitimer(signal.ITIMER_REAL, 0)


# ---------------------------------------------------------------------------------------------
# Progress


class Progress:
    """Progress on standard error: one line kept up to date on a terminal (the elapsed time
    ticks between updates), plain lines at most once a second otherwise."""

    def __init__(self, enabled: bool, text: str = "", stream: TextIO | None = None) -> None:
        # standard error as it is now, not as it was when this module was imported
        self.stream, self.enabled = stream or sys.stderr, enabled
        self.live = enabled and self.stream.isatty()
        self.start = time.monotonic()
        self.last_plain = self.start
        self.text = text
        self.lock = threading.RLock()  # a subclass may paint while holding it
        self.stop = threading.Event()
        self.thread: threading.Thread | None = None
        if self.live:
            if text:
                self._paint()  # shown at once, not only at the first tick
            self.thread = threading.Thread(target=self._tick, daemon=True)
            self.thread.start()

    def _line(self) -> str:
        return f"c {self.text}  elapsed {time.monotonic() - self.start:.1f}s"

    def _tick(self) -> None:
        while not self.stop.wait(0.25):
            self._paint()

    def _paint(self) -> None:
        with self.lock:
            if not self.stop.is_set():
                self.stream.write("\r" + self._line() + "\x1b[K")
                self.stream.flush()

    def update(self, counters: dict[str, int]) -> None:
        """The search's counters."""
        self.show(f"conflicts {counters.get('conflicts', 0):,}  restarts {counters.get('restarts', 0):,}  "
                  f"learned {counters.get('learned', 0):,}")

    def show(self, text: str) -> None:
        if not self.enabled:
            return
        self.text = text
        if self.live:
            self._paint()
        elif time.monotonic() - self.last_plain >= 1.0:
            self.last_plain = time.monotonic()
            print(self._line(), file=self.stream, flush=True)

    def close(self) -> None:
        if self.thread is not None:
            with self.lock:
                self.stop.set()
                self.stream.write("\r\x1b[K")
                self.stream.flush()
            self.thread.join()
            self.thread = None


# ---------------------------------------------------------------------------------------------
# solve


class Run:
    """What a solve run has so far, so that an interruption can still report it."""

    def __init__(self) -> None:
        self.answer: bool | None = None
        self.model: list[int] | None = None
        self.engine: _nn.Solver | None = None
        self.core: list[int] = []
        self.assumptions: list[int] = []
        self.interrupted = False
        self.original: CNF | None = None
        self.pre: Preprocessed | None = None
        self.on_input = False  # the winner searched the input, not the reduced formula
        self.outputs: list[Output] = []
        self.scratch: list[str] = []
        self.times: dict[str, float] = {}
        self.stats: dict[str, Any] = {}

    def recover(self) -> None:
        """After an interruption: an answer the engine reached but that was not yet taken."""
        s = self.engine
        if self.answer is None and s is not None:
            try:
                if not s.ok:
                    self.answer = False
                elif s.model:
                    self.answer, self.model = True, _model(s.model)
            except RuntimeError:  # the engine is still busy in another thread
                pass

    def cleanup(self) -> None:
        for out in self.outputs:
            out.discard()
        for path in self.scratch:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass


def _model(values: Sequence[bool]) -> list[int]:
    return [v if b else -v for v, b in enumerate(values, 1)]


def _read(path: str, deadline: Deadline) -> CNF:
    try:
        with deadline.phase():
            return CNF.from_file(path)
    except OSError as e:
        raise UsageError(f"{path}: cannot read file: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(str(e) if path in str(e) or "<stdin>" in str(e) else f"{path}: {e}") from None
    except MemoryError as e:
        raise UsageError(str(e) or f"{path}: the formula does not fit in memory") from None


def _print_model(model: Sequence[int]) -> None:
    out, line = [], "v"
    for t in [*map(str, model), "0"]:
        if len(line) + 1 + len(t) > 78:
            out.append(line)
            line = "v"
        line += " " + t
    out.append(line)
    sys.stdout.write("\n".join(out) + "\n")


def _solve_sliced(run: Run, s: _nn.Solver, args: argparse.Namespace, assumptions: list[int],
                  deadline: Deadline) -> bool | None:
    """Solve with one engine: in conflict slices with progress, or in one call with --quiet."""
    progress = Progress(not args.quiet, "conflicts 0  restarts 0  learned 0")
    budget = args.conflicts
    kw: dict[str, Any] = {}
    if assumptions:
        kw["assumptions"] = assumptions
    kw["release_gil"] = True
    answer = None
    try:
        while True:
            limit = budget
            if not args.quiet:
                limit = args.slice if limit is None else min(limit, args.slice)
            before = s.conflicts
            answer = s.solve(limit, deadline.left(), **kw)
            if budget is not None:
                budget = max(0, budget - (s.conflicts - before))
            if answer is not None:
                break
            progress.update({name: getattr(s, name) for name in ("conflicts", "restarts", "learned")})
            if budget == 0 or deadline.over():
                break
    finally:
        progress.close()
    return answer


@contextmanager
def _fits(name: str, cnf: CNF) -> Iterator[None]:
    """MemoryError as a usage error naming the formula."""
    try:
        yield
    except MemoryError:
        raise UsageError(f"{name}: the formula does not fit in memory ({cnf.nvars} variables)") from None


def _simplify(args: argparse.Namespace, cnf: CNF, assumptions: list[int], proof_path: str | None,
              deadline: Deadline) -> Preprocessed:
    """Preprocessing round after round, with its progress shown, within its share of the time."""
    left = deadline.left()
    budget = pipeline.UNLIMITED_SECONDS if left is None else pipeline.TIME_SHARE * left
    progress = Progress(not args.quiet, "preprocessing")

    def show(rounds: int, c: dict[str, int], elapsed: float) -> None:
        progress.show(f"preprocess round {rounds}: {c['eliminated_vars']:,} variables eliminated, "
                      f"{c['subsumed']:,} subsumed, {c['strengthened']:,} strengthened, {c['units']:,} units")

    try:
        with deadline.phase():
            return pipeline.simplify(cnf, seconds=budget, freeze=[abs(d) for d in assumptions], proof=proof_path,
                                     proof_format=args.proof_format, progress=show)
    finally:
        progress.close()


def cmd_solve(args: argparse.Namespace, run: Run) -> int:
    start = args.start
    opts = {name: getattr(args, name) for name in DEFAULTS}
    _check_solver_options(opts)
    assumptions = run.assumptions = args.assume or []
    if args.jobs and args.jobs > 1 and assumptions:
        raise UsageError("--assume: not with --jobs above 1 (the portfolio solves without assumptions)")
    if assumptions and (args.proof or args.check):
        raise UsageError("--assume: not with --proof or --check (a proof under assumptions refutes only them)")
    if args.reconstruct and args.preprocess:
        raise UsageError("--reconstruct: not with --preprocess (the map already says how to preprocess)")
    _check_cube_options(args)
    # The defaults: preprocessing unless a map is given; a portfolio over the cores unless the
    # search runs under assumptions or on a cluster.
    if args.preprocess is None:
        args.preprocess = not args.reconstruct
    if args.jobs is None:
        args.jobs = 1 if assumptions or args.cubes is not None else pipeline.cores()
    binary = args.proof_format == "binary"

    # Every file to write is opened before the work starts, so a bad path costs nothing.
    proof_out = Output(args.proof, "--proof") if args.proof else None
    stats_out = Output(args.stats_json, "--stats-json") if args.stats_json else None
    run.outputs += [o for o in (proof_out, stats_out) if o]

    if args.file is None:
        path = "-" if not sys.stdin.isatty() else EXAMPLE
    else:
        path = args.file
    deadline = Deadline(start, args.time_limit)
    try:
        return _solve(args, run, path, opts, assumptions, proof_out, stats_out, binary, deadline)
    except TimeUp:
        print("c time limit reached before the search")
        print("s UNKNOWN")
        return EXIT_UNKNOWN
    finally:
        deadline.cancel()


def _check_cube_options(args: argparse.Namespace) -> None:
    """--cubes, --scheduler and --workers of solve.  `--cubes FILE` (the optional depth left out,
    FILE after it) is read as FILE."""
    if args.cubes is not None and args.cubes != "auto" and not re.fullmatch(r"\+?[0-9]+", args.cubes):
        if args.file is not None:
            raise UsageError(f"--cubes {args.cubes}: not a whole number (the split depth)")
        args.file, args.cubes = args.cubes, "auto"
    if args.cubes is not None and args.cubes != "auto" and int(args.cubes) > _MAX_DEPTH:
        raise UsageError(f"--cubes {args.cubes}: the split depth is at most {_MAX_DEPTH}")
    if args.cubes is None:
        for flag, value in (("--scheduler", args.scheduler), ("--workers", args.workers)):
            if value is not None:
                raise UsageError(f"{flag}: only with --cubes (or in 'norvane batch')")
        return
    for flag, bad in (("--assume", args.assume), ("--jobs", args.jobs is not None and args.jobs > 1),
                      ("--conflicts", args.conflicts is not None)):
        if bad:
            raise UsageError(f"{flag}: not with --cubes")
    _check_cluster_options(args)


def _check_cluster_options(args: argparse.Namespace) -> None:
    if args.scheduler is not None and args.workers is not None:
        raise UsageError("--workers: not with --scheduler (the cluster has its workers)")


_MAX_DEPTH = 16


def _distributed() -> Any:
    """norvane.cli_distributed, or a usage error naming the extra to install."""
    try:
        from . import cli_distributed
    except ImportError as e:
        raise UsageError(str(e)) from None
    return cli_distributed


def _solve(args: argparse.Namespace, run: Run, path: str, opts: dict[str, Any], assumptions: list[int],
           proof_out: Output | None, stats_out: Output | None, binary: bool, deadline: Deadline) -> int:
    t0 = time.monotonic()
    cnf = _read(path, deadline)
    run.times["parse"] = time.monotonic() - t0
    name = "<stdin>" if path == "-" else path
    print(f"c norvane {_nn.__version__}")
    print(f"c file {name}: {cnf.nvars} variables, {len(cnf)} clauses (read in {run.times['parse']:.3f}s)", flush=True)
    for d in assumptions:
        if abs(d) > cnf.nvars:
            raise UsageError(f"--assume {d}: {name} has {cnf.nvars} variables")

    want_proof = proof_out is not None or args.check
    proof_path = None
    if want_proof:
        proof_path = proof_out.path if proof_out else _scratch(os.path.join(tempfile.gettempdir(), "proof"))
        if not proof_out:
            run.scratch.append(proof_path)

    original, work, pre = cnf, cnf, None
    t1 = time.monotonic()
    if args.reconstruct:
        try:
            with deadline.phase():
                pre = load_map(args.reconstruct, proof=proof_path, proof_format=args.proof_format)
        except OSError as e:
            raise UsageError(f"--reconstruct {args.reconstruct}: cannot read: {e.strerror or e}") from None
        except ValueError as e:
            raise UsageError(f"--reconstruct {args.reconstruct}: {e}") from None
        if pre.cnf != cnf:
            raise UsageError(f"--reconstruct {args.reconstruct}: {name} is not the reduced formula of this map")
        frozen = set(pre.settings.get("freeze", ()))
        for d in assumptions:
            if abs(d) not in frozen:
                raise UsageError(f"--assume {d}: variable {abs(d)} was not frozen when the map was made")
        original = pre.original
        print(f"c map {args.reconstruct}: reduced from {original.nvars} variables, {len(original)} clauses")
    elif args.preprocess:
        with _fits(name, cnf):
            pre = _simplify(args, cnf, assumptions, proof_path, deadline)
        print(f"c preprocess: {pre.settings['rounds']} rounds, {len(pre.reduced())} clauses left, {pre.eliminated_vars} "
              f"variables eliminated, {pre.subsumed} subsumed, {pre.strengthened} strengthened, {pre.units} units "
              f"({time.monotonic() - t1:.3f}s)")
    run.original, run.pre = original, pre
    if pre is not None:
        run.times["preprocess"] = time.monotonic() - t1
        run.stats["preprocess"] = {**pre.stats, "rounds": pre.settings.get("rounds")}
    # The solver's proof follows the preprocessor's: written apart, appended at the end.
    search_proof = proof_path
    if proof_path and pre is not None:
        search_proof = _scratch(proof_path)
        run.scratch.append(search_proof)

    t2 = time.monotonic()
    if pre is not None and pre.unsat:
        run.answer = False  # the preprocessor's proof ends with the empty clause
        print("c preprocessing refuted the formula")
    elif args.jobs > 1:
        if deadline.over():
            raise TimeUp()
        configs = pipeline.configs(args.jobs, {k: v for k, v in opts.items() if v != DEFAULTS[k]})
        progress = Progress(not args.quiet, f"portfolio of {args.jobs} running")
        try:
            with _fits(name, work):
                # after preprocessing here, the input and its reduction race (pipeline.race_both)
                kept = pre.reduced() if pre is not None and not args.reconstruct else None
                res, run.on_input = pipeline.race_both(work.nvars, work.db, kept, configs,
                                                       time_limit=deadline.left(), conflict_limit=args.conflicts,
                                                       proof=search_proof, proof_format=args.proof_format)
        finally:
            progress.close()
        run.answer, run.model = res.sat, res.model
        won = pipeline.config_name(res.worker) if res.worker >= 0 else None
        run.stats["portfolio"] = {"workers": args.jobs, "configs": [pipeline.config_name(i) for i in range(args.jobs)],
                                  "winner": res.worker, "config": won, "on_input": run.on_input}
        run.stats["search"] = res.stats
        where = ", on the input" if run.on_input else ""
        print(f"c portfolio of {args.jobs}: " + (f"worker {res.worker} ({won}{where}) won; " if won else "no answer; ")
              + " ".join(f"{k} {v}" for k, v in res.stats.items()))
    elif args.cubes is not None:
        if deadline.over():
            raise TimeUp()
        reduced = pre.cnf if pre is not None and not args.reconstruct else work
        cc = _distributed().solve_cubes(args, reduced, search_proof, deadline.left(), opts)
        run.answer, run.model = cc.sat, cc.model
        run.stats["cubes"] = {"cubes": cc.cubes, "depth": cc.depth, "refuted": cc.refuted,
                              "by_propagation": cc.by_propagation, "pruned": cc.pruned, "stats": cc.stats,
                              "workers": {w: {"cubes": k, "seconds": t} for w, (k, t) in cc.workers.items()}}
        if cc.error:
            raise ClusterError(cc.error)
    else:
        if pre is not None and not args.reconstruct:
            work = pre.cnf
        with _fits(name, work), deadline.phase():
            s = _nn.Solver(work.nvars, **opts)
            if search_proof:
                s.enable_proof(search_proof, binary=binary)
            _native.add_clauses(s, work.db)
        run.times["load"] = time.monotonic() - t2
        run.engine = s
        answer = _solve_sliced(run, s, args, to_internal(assumptions), deadline)
        run.answer = answer
        if answer:
            run.model = _model(s.model)
        elif answer is False and assumptions:
            run.core = to_dimacs(s.core())
        run.stats["search"] = {k: getattr(s, k) for k in STATS}
        print("c " + " ".join(f"{k} {getattr(s, k)}" for k in ("conflicts", "decisions", "propagations",
                                                                 "restarts", "learned", "deleted")))
    run.times["solve"] = time.monotonic() - t2
    print(f"c solve time {run.times['solve']:.3f}s")
    deadline.cancel()
    return finish(args, run, original, pre, proof_out, search_proof, proof_path, stats_out, name)


def finish(args: argparse.Namespace, run: Run, original: CNF, pre: Preprocessed | None, proof_out: Output | None,
           search_proof: str | None, proof_path: str | None, stats_out: Output | None, name: str) -> int:
    """Confirm the answer (proof check, model against the input), then print it and keep or
    drop the files; Ctrl-C during the printing is held back until the answer is out."""
    code = None
    if run.answer is False:
        if proof_path and search_proof != proof_path:
            if run.on_input:  # a refutation of the input stands alone
                os.replace(search_proof, proof_path)  # type: ignore[arg-type]
            else:
                _append(proof_path, search_proof)  # type: ignore[arg-type]
        if args.check and proof_path:
            t3 = time.monotonic()
            verdict = check_proof(original, proof_path)
            run.times["check"] = time.monotonic() - t3
            run.stats["check"] = verdict._asdict()
            print(f"c check_proof: {verdict.message} ({verdict.steps} steps, {run.times['check']:.3f}s)")
            if not verdict.ok:
                print("c error: the proof of unsatisfiability did not check", file=sys.stderr)
                code = EXIT_FAILED
    elif run.answer is True:
        run.model = _original_model(run)
        # A frozen variable the preprocessor fixed is absent from the reduced formula: an
        # assumption against its value shows here, and refutes the formula on its own.
        true = set(run.model or ())
        violated = [a for a in run.assumptions if run.model is not None and a not in true]
        if violated:
            run.answer, run.model, run.core = False, None, violated[:1]
        elif run.model is None:
            print("c error: the model does not satisfy the formula", file=sys.stderr)
            code = EXIT_FAILED
    with deferred_interrupt(run):
        if code is None:
            if run.answer is False and proof_out is not None:
                proof_out.commit()
                print(f"c proof written to {proof_out.target}")
            code = _print_answer(run)
        else:
            print("s UNKNOWN")
        if stats_out is not None:
            run.stats.update(file=name, answer=_ANSWER[run.answer], exit_code=code,
                             nvars=original.nvars, clauses=len(original), times=run.times, version=_nn.__version__,
                             options={k: getattr(args, k) for k in DEFAULTS})
            if run.core:
                run.stats["core"] = run.core
            import json

            with open(stats_out.path, "w") as f:
                json.dump(run.stats, f, indent=1)
                f.write("\n")
            stats_out.commit()
        sys.stdout.flush()
    return EXIT_INTERRUPTED if run.interrupted else code


_ANSWER: dict[bool | None, str] = {True: "SATISFIABLE", False: "UNSATISFIABLE", None: "UNKNOWN"}


def _original_model(run: Run) -> list[int] | None:
    """The model found, extended to the input formula and checked against it (None if it fails)."""
    model = run.model or []
    if run.pre is not None and not run.on_input:
        model = run.pre.reconstruct(model)
    model = model[:run.original.nvars] if run.original is not None else model
    if run.original is not None and not pipeline.satisfies(run.original, model):
        return None
    return model


def _print_answer(run: Run) -> int:
    if run.answer is False:
        if run.core:
            print("c core " + " ".join(map(str, run.core)))
        print("s UNSATISFIABLE")
        return EXIT_UNSAT
    if run.answer is True and run.model is not None:
        print("s SATISFIABLE")
        _print_model(run.model)
        return EXIT_SAT
    print("s UNKNOWN")
    return EXIT_UNKNOWN


def interrupted(args: argparse.Namespace, run: Run) -> int:
    """Ctrl-C: report what was found (unfinished files are dropped), exit 130."""
    run.interrupted = True
    with deferred_interrupt(run):
        print("c interrupted", file=sys.stderr)
        if args.command == "solve":
            run.recover()
            if run.answer is True and run.original is not None:
                run.model = _original_model(run)
            _print_answer(run)
        elif args.command == "check":
            print("s UNKNOWN")
        sys.stdout.flush()
    return EXIT_INTERRUPTED


# ---------------------------------------------------------------------------------------------
# check, preprocess


def cmd_check(args: argparse.Namespace, run: Run) -> int:
    cnf = _read(args.cnf, Deadline(args.start, None))
    print(f"c norvane {_nn.__version__}")
    print(f"c file {args.cnf}: {cnf.nvars} variables, {len(cnf)} clauses; checking {args.proof}", flush=True)
    t0 = time.monotonic()
    try:
        r = check_proof(cnf, args.proof, check_rat=not args.no_rat, apply_deletions=not args.ignore_deletions)
    except OSError as e:
        raise UsageError(f"{args.proof}: cannot read file: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(str(e) if args.proof in str(e) else f"{args.proof}: {e}") from None
    with deferred_interrupt(run):
        print(f"c steps {r.steps} rup {r.rup} rat {r.rat} deleted {r.deleted} skipped {r.skipped} "
              f"rat_checks {r.rat_checks} ({time.monotonic() - t0:.3f}s)")
        if r.failed_step >= 0:
            print(f"c failed at step {r.failed_step}")
        print(f"c {r.message}")
        print("s VERIFIED" if r.ok else "s NOT VERIFIED")
    return 0 if r.ok else 1


def cmd_preprocess(args: argparse.Namespace, run: Run) -> int:
    out = None if args.output == "-" else Output(args.output, "--output")
    map_out = Output(args.map, "--map") if args.map else None
    run.outputs += [o for o in (out, map_out) if o]
    cnf = _read(args.cnf, Deadline(args.start, None))
    for v in args.freeze:
        if not 1 <= v <= cnf.nvars:
            raise UsageError(f"--freeze {v}: not a variable of {args.cnf} (1 to {cnf.nvars})")
    opts = {"do_bve": not args.no_bve, "max_resolvent_len": args.max_resolvent_len}
    t0 = time.monotonic()
    res = preprocess(cnf, rounds=args.rounds, freeze=args.freeze, **{k: v for k, v in opts.items() if k in PRE_OPTIONS})
    comments = [f"preprocessed by norvane {_nn.__version__} from {args.cnf}",
                " ".join(f"{k} {v}" for k, v in res.stats.items())]
    with deferred_interrupt(run):
        if out is None:
            res.cnf.write(sys.stdout, comments)
        else:
            with open(out.path, "w") as f:
                res.cnf.write(f, comments)
        if map_out is not None:
            res.write_map(map_out.path)
        if not run.interrupted:
            for o in (out, map_out):
                if o is not None:
                    o.commit()
        print(f"c {len(cnf)} -> {len(res.cnf)} clauses in {time.monotonic() - t0:.3f}s", file=sys.stderr)
    return EXIT_INTERRUPTED if run.interrupted else 0


def cmd_batch(args: argparse.Namespace, run: Run) -> int:
    opts = {name: getattr(args, name) for name in DEFAULTS}
    _check_solver_options(opts)
    _check_cluster_options(args)
    if args.proof_dir is not None and os.path.exists(args.proof_dir) and not os.path.isdir(args.proof_dir):
        raise UsageError(f"--proof-dir {args.proof_dir}: not a directory")
    out = Output(args.out, "--out") if args.out else None
    if out is not None:
        run.outputs.append(out)
    return int(_distributed().cmd_batch(args, {k: v for k, v in opts.items() if v != DEFAULTS[k]}, out))


# ---------------------------------------------------------------------------------------------
# Command line


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="norvane", description=(__doc__ or "").split("\n\n")[0].strip(),
                formatter_class=argparse.RawDescriptionHelpFormatter,
                epilog="\n\n".join((__doc__ or "").split("\n\n")[1:]))
    p.add_argument("--version", action="version", version=f"norvane {_nn.__version__}")
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)

    s = sub.add_parser("solve", help="decide a DIMACS CNF formula", description=(
        "Decide a DIMACS CNF formula (plain, .gz, .xz or .bz2; '-' for standard input) and print the "
        "SAT-competition answer: 's SATISFIABLE' with 'v' model lines (exit 10), 's UNSATISFIABLE' (exit 20) "
        "or 's UNKNOWN' (exit 0). Without FILE it reads standard input, or solves the bundled example "
        "when standard input is a terminal. Progress goes to standard error: the solver runs in "
        "conflict-budget slices (--slice) and every slice ends with a restart of the search, so the search "
        "with progress differs from one uninterrupted solve; --quiet solves in one call."))
    s.add_argument("file", nargs="?", metavar="FILE", help="DIMACS CNF file")
    s.add_argument("--assume", type=_literals, metavar="LITS", help="solve under these assumptions "
                   "(signed literals such as '1,-3,5'); an UNSAT answer prints the failed ones ('c core')")
    s.add_argument("--preprocess", action=argparse.BooleanOptionalAction, default=None,
                   help="simplify first, round after round until a round changes almost nothing (at most a "
                   f"fifth of --time-limit, or {pipeline.UNLIMITED_SECONDS:.0f} s), solve the reduced formula, "
                   "extend its model and check it against the original formula (default: on, unless --reconstruct)")
    s.add_argument("--reconstruct", metavar="MAP", help="FILE is a formula reduced by 'norvane preprocess "
                   "--map MAP': print a model of the original formula")
    s.add_argument("--proof", metavar="FILE", help="write a DRAT proof of unsatisfiability to FILE")
    s.add_argument("--proof-format", choices=["text", "binary"], default="text", help="DRAT text or binary")
    s.add_argument("--check", action="store_true", help="verify the proof before answering UNSAT")
    s.add_argument("-j", "--jobs", type=_workers, metavar="N", help="race N solvers of the measured configurations "
                   "in threads (default: one per core; 1 with --assume)")
    s.add_argument("--portfolio", type=_workers, dest="jobs", metavar="N", help="the same as --jobs N")
    s.add_argument("--cubes", nargs="?", const="auto", metavar="N", help="cube and conquer on a Dask cluster: "
                   "split N levels deep (by default about 8 cubes per worker) and refute the cubes on the workers")
    s.add_argument("--scheduler", metavar="ADDR", help="with --cubes: the Dask scheduler to use "
                   "(by default a local cluster of --workers processes)")
    s.add_argument("--workers", type=_workers, metavar="N", help="with --cubes: worker processes of the local "
                   "cluster (default: one per core)")
    s.add_argument("--time-limit", type=_finite, metavar="S", help="give up with UNKNOWN after S seconds "
                   "(reading and loading included)")
    s.add_argument("--conflicts", type=_count, metavar="N", help="give up with UNKNOWN after N conflicts")
    s.add_argument("--slice", type=_positive, default=20000, metavar="N",
                   help="conflicts per progress slice (default 20000)")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress display; solve in one call")
    s.add_argument("--stats-json", metavar="FILE", help="write answer, times and counters as JSON")
    _search_options(s)
    s.set_defaults(func=cmd_solve)

    c = sub.add_parser("check", help="verify a DRAT proof", description=(
        "Verify a DRAT proof (text, one step a line with 'd' for deletions, or binary) against a DIMACS "
        "CNF formula. Prints the verdict and counters; exit 0 when the proof is accepted, 1 when rejected."))
    c.add_argument("cnf", metavar="CNF")
    c.add_argument("proof", metavar="PROOF")
    c.add_argument("--no-rat", action="store_true", help="accept RUP lemmas only")
    c.add_argument("--ignore-deletions", action="store_true", help="do not carry out deletion steps")
    c.set_defaults(func=cmd_check)

    r = sub.add_parser("preprocess", help="simplify a formula and write it as DIMACS", description=(
        "Run the preprocessor (unit propagation, subsumption, self-subsuming resolution, pure literals, "
        "bounded variable elimination) and write the reduced formula as DIMACS CNF. With --map, "
        "'norvane solve OUT --reconstruct MAP' prints a model of the original formula."))
    r.add_argument("cnf", metavar="CNF")
    r.add_argument("-o", "--output", required=True, help="output file ('-' for standard output)")
    r.add_argument("--map", metavar="MAP", help="write what 'solve --reconstruct' needs to MAP")
    r.add_argument("--rounds", type=_count, default=3, help="simplification rounds (default 3)")
    r.add_argument("--no-bve", action="store_true", help="no bounded variable elimination")
    r.add_argument("--max-resolvent-len", type=_count, default=20, help="longest resolvent BVE may add (default 20)")
    r.add_argument("--freeze", type=_positive, action="append", default=[], metavar="VAR",
                   help="variable that must not be eliminated (repeatable)")
    r.set_defaults(func=cmd_preprocess)

    b = sub.add_parser("batch", help="decide many formulas on a Dask cluster", description=(
        "Decide many DIMACS CNF formulas on a Dask cluster: a local cluster of --workers processes by default, "
        "or the scheduler at --scheduler ADDR (whose workers read the files themselves where they can). A line "
        "per formula as it finishes, a live progress bar on standard error, a summary table at the end. Exit 0 "
        "when every formula was answered (with --check, every proof verified), 1 otherwise."))
    b.add_argument("files", nargs="+", metavar="FILE", help="DIMACS CNF files")
    b.add_argument("--scheduler", metavar="ADDR", help="address of a running Dask scheduler (tcp://host:8786)")
    b.add_argument("--workers", type=_workers, metavar="N", help="worker processes of the local cluster "
                   "(default: one per core)")
    b.add_argument("--time-limit", type=_finite, metavar="S", help="give up on a formula after S seconds "
                   "(reading included)")
    b.add_argument("--proof-dir", metavar="DIR", help="write each UNSAT formula's DRAT proof to DIR "
                   "(on a cluster, a directory every worker can write)")
    b.add_argument("--proof-format", choices=["text", "binary"], default="text", help="DRAT text or binary")
    b.add_argument("--check", action="store_true", help="verify every proof on its worker")
    b.add_argument("--out", metavar="FILE", help="write one JSON line per formula (answer, model, times, "
                   "counters, proof, check, error, worker) to FILE")
    b.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    _search_options(b)
    b.set_defaults(func=cmd_batch)
    return p


def _search_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("search options (norvane_native.Solver)")
    for name, default in DEFAULTS.items():
        help_text = f"{HELP.get(name, name)} (default {default})"
        if isinstance(default, bool):
            g.add_argument(_flag(name), dest=name, action=argparse.BooleanOptionalAction, default=default,
                           help=f"{HELP.get(name, name)} (default {'on' if default else 'off'})")
        elif name in CHOICES:
            g.add_argument(_flag(name), dest=name, choices=CHOICES[name], default=default, help=help_text)
        elif isinstance(default, float):
            g.add_argument(_flag(name), dest=name, type=_finite, default=default, metavar="X", help=help_text)
        else:
            g.add_argument(_flag(name), dest=name, type=_count, default=default, metavar="N", help=help_text)


def main(argv: Sequence[str] | None = None) -> int:
    start = time.monotonic()
    args = build_parser().parse_args(argv)
    args.start = start
    run = Run()
    try:
        try:
            return int(args.func(args, run))
        except KeyboardInterrupt:
            return interrupted(args, run)
        except UsageError as e:
            print(f"norvane: {e}", file=sys.stderr)
            return EXIT_USAGE
        except ClusterError as e:
            print(f"norvane: {e}", file=sys.stderr)
            print("s UNKNOWN")
            return EXIT_FAILED
        except ValueError as e:
            print(f"norvane: {e}", file=sys.stderr)
            return EXIT_USAGE
        except BrokenPipeError:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return EXIT_FAILED
        except OSError as e:
            print(f"norvane: {e.filename or ''}{': ' if e.filename else ''}{e.strerror or e}", file=sys.stderr)
            return EXIT_FAILED
        except MemoryError:  # a formula (or a header's variable count) beyond the memory there is
            print("norvane: out of memory", file=sys.stderr)
            return EXIT_USAGE
    except KeyboardInterrupt:  # a second Ctrl-C while reporting the first
        return EXIT_INTERRUPTED
    finally:
        run.cleanup()


if __name__ == "__main__":
    sys.exit(main())
