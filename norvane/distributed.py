"""Beyond one machine: batches of formulas and cube and conquer on a Dask cluster.

    for r in solve_many(["a.cnf", "b.cnf.xz"], time_limit=60):
        print(r.name, r.status, r.seconds)
    r = cube_and_conquer(CNF.from_file("hard.cnf"), proof="hard.drat")

Everything runs as ordinary Dask tasks (`dask.distributed`): `client=None` starts a
`LocalCluster` of one single-threaded worker process per core for the call and closes it
afterwards; a `Client` or a scheduler address uses that cluster.  The scheduler places the
tasks; when a worker dies (killed, out of memory) the scheduler runs its task again on another
worker, and the clusters started here allow that once (`distributed.scheduler.allowed-failures`
is 1; on a scheduler of your own, its setting decides), after which the formula is reported as
failed with the reason.  `Client.cancel` stops what is no longer wanted: a task notices at its
next check (a few times a second) that it was cancelled and its search stops.

Workers read files themselves: a path is shipped with its size and modification time, and a
worker that does not find that very file there says so, after which the file's bytes are
shipped instead.  `CNF` objects are shipped as they are (they pickle), and for cube and
conquer scattered to every worker once.

The splitting and the combined proof of cube and conquer live in norvane.cubes; this module
only runs them on the cluster.
"""
from __future__ import annotations

import logging
import os
import pickle
import signal
import tempfile
import threading
import time
import uuid
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from typing import Any, NamedTuple, Union

try:
    import dask.config
    from dask.distributed import Client, Future, as_completed, get_worker
    from distributed.core import Status
except ImportError as _e:
    raise ImportError('norvane.distributed needs Dask (dask.distributed), which is not installed: '
                      'pip install "norvane[distributed]"', name=_e.name) from None

from . import _native
from .cnf import CNF, PathLike, decompress
from .cubes import Split, longest_encoding, own_deletions_only
from .options import complete
from .pipeline import satisfies
from .proof import CheckResult, check_proof
from .solver import STATS, Solver

__all__ = ["BatchResult", "CubeResult", "close_client", "cube_and_conquer", "local_client", "solve_many"]

Formula = Union[PathLike, CNF]
ClientLike = Union[Client, str, None]

#: Conflicts of the first search of cube and conquer, before splitting.
FIRST_CONFLICTS = 2000
#: Cubes per worker when cube_and_conquer chooses the depth: enough for the work to even out,
#: few enough that a worker does not wait out a scheduler round trip per tiny cube (measured on
#: the shared set's hardest instances: 8 beat 16 and 32 by 0.05-0.15x of the single solver's time).
CUBES_PER_WORKER = 8
#: Largest split depth.
MAX_DEPTH = 16
#: Bytes of formulas given as CNF objects that solve_many sends to the scheduler in one message.
GRAPH_BYTES = 4 << 20
#: What a worker answers when a path does not lead it to the file the client saw.
UNREACHABLE = "unreachable"


class BatchResult(NamedTuple):
    """One formula's outcome in `solve_many`."""

    name: str
    """The path as given, or "<CNF i>" for the i-th formula given as a CNF."""
    sat: bool | None
    model: list[int] | None
    stats: dict[str, int]
    """The search counters (empty when the formula was not solved)."""
    seconds: float
    """Time on the worker: reading, solving and checking."""
    proof: str | None
    """The DRAT proof written (with proof_dir, for an unsatisfiable formula)."""
    check: CheckResult | None
    """The proof's check (with check=True, for an unsatisfiable formula)."""
    error: str | None
    """Why the formula got no answer: a file that cannot be read, a worker that died twice..."""
    worker: str | None
    """The address of the worker that solved it."""
    position: int
    """Position among the formulas given."""
    times: dict[str, float]
    """Seconds on the worker for 'read', 'solve' and 'check'."""

    @property
    def status(self) -> str:
        """'SATISFIABLE', 'UNSATISFIABLE', 'UNKNOWN' or 'FAILED'."""
        if self.error is not None:
            return "FAILED"
        return {True: "SATISFIABLE", False: "UNSATISFIABLE", None: "UNKNOWN"}[self.sat]


class CubeResult(NamedTuple):
    """The outcome of `cube_and_conquer`."""

    sat: bool | None
    model: list[int] | None
    proof: str | None
    """The DRAT proof of the whole formula, when unsatisfiable and a proof was asked for."""
    cubes: int
    """Cubes made by the split (0 when the first search answered)."""
    refuted: int
    """Cubes refuted on the workers."""
    by_propagation: int
    """Leaves of the split that propagation refuted while splitting."""
    pruned: int
    """Cubes left unsolved because a core refuted a node above them."""
    depth: int
    seconds: float
    workers: dict[str, tuple[int, float]]
    """Per worker address: cubes it finished and the seconds it spent on them."""
    stats: dict[str, int]
    """Search counters summed over the first search and every cube."""
    error: str | None
    """Why there is no answer when a cube could not be solved (its worker died twice)."""


# ---------------------------------------------------------------------------------------------
# The cluster


def local_client(workers: int | None = None) -> Client:
    """A `Client` of a new `LocalCluster` on this machine: `workers` single-threaded worker
    processes (one per core by default), a task retried once when its worker dies, no
    dashboard.  Closing the client closes the cluster (`close_client` first lets the workers
    stop what was cancelled)."""
    n = workers if workers is not None else os.cpu_count() or 1
    if n < 1:
        raise ValueError(f"workers must be at least 1, not {n}")
    # One task at a time on each worker (none queued behind it): the scheduler counts a worker's
    # death against every task assigned to it, so a queued formula would be blamed, and failed
    # on a second death, for a neighbour's fault.
    config = {"distributed.scheduler.allowed-failures": 1, "distributed.scheduler.worker-saturation": 1.0, **_QUIET}
    with dask.config.set(config), _sigint_ignored():
        # No dashboard; the scheduler's small HTTP service on a free port rather than on the
        # dashboard's usual one, which another cluster may hold.  The cluster's own logs stay
        # quiet: on a busy machine its shutdown races heartbeats, and what goes wrong with the
        # work reaches the caller as a result or an exception anyway.
        return Client(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                      scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}, silence_logs=logging.CRITICAL)


#: What the clusters started here leave out, since it costs every process processor time,
#: idle or not, and serves only a dashboard and diagnostics that nobody looks at here: the
#: workers' sampling profiler (a stack sample every 10 ms), the event loop health checks (every
#: 20 ms in each process), frequent system monitoring, work stealing (no task waits behind
#: another on a worker: see above) and the workers' own memory thresholds (they spill and pause
#: for data the tasks do not keep; the nanny still ends a worker that outgrows its memory).
#: The workers' memory allocator also keeps its usual trim threshold: the small one Dask sets
#: hands a formula's memory back to the system, to be faulted in again for the next one.
_QUIET = {"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "1s",
          "distributed.admin.system-monitor.interval": "2s", "distributed.scheduler.work-stealing": False,
          "distributed.worker.memory.target": False, "distributed.worker.memory.spill": False,
          "distributed.worker.memory.pause": False,
          "distributed.nanny.pre-spawn-environ": {"OMP_NUM_THREADS": 1, "MKL_NUM_THREADS": 1,
                                                  "OPENBLAS_NUM_THREADS": 1}}


@contextmanager
def _sigint_ignored() -> Iterator[None]:
    """SIGINT ignored while the worker processes start, so that they inherit that: Ctrl-C at a
    terminal reaches the whole process group, and only this process should act on it (by
    closing the cluster), not each worker dying with a traceback."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)


@contextmanager
def _connect(client: ClientLike, workers: int | None) -> Iterator[Client]:
    if isinstance(client, Client):
        yield client
        return
    if client is not None and not isinstance(client, str):
        raise TypeError(f"client must be a dask.distributed.Client, a scheduler address or None, not {type(client).__name__}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    c = local_client(workers) if client is None else Client(client)
    try:
        yield c
    finally:
        close_client(c)


def _executing(dask_worker: Any) -> int:
    return int(dask_worker.state.executing_count)


def close_client(c: Client, wait: float = 10.0) -> None:
    """Close `c`.  When the client started its cluster, that closes too, once the workers have
    stopped the searches they were told to drop (each notices within half a second) or after
    `wait` seconds: a worker closed in the middle of a search holds up the shutdown and
    complains of its lost scheduler."""
    end = time.monotonic() + wait
    try:
        while c.cluster is not None and time.monotonic() < end:
            executing: dict[str, int] = c.run(_executing, on_error="ignore")  # type: ignore[assignment]
            if not any(executing.values()):
                break
            time.sleep(0.05)
    except Exception:  # noqa: BLE001 - the cluster may already be gone; closing is all that is left
        pass
    finally:
        # A close cut short by Ctrl-C leaves the cluster half shut and the interpreter hanging
        # at exit: the interruption waits until the close is done.
        with _sigint_deferred():
            c.close()


@contextmanager
def _sigint_deferred() -> Iterator[None]:
    """Ctrl-C inside the block raises KeyboardInterrupt only when the block is done."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    seen: list[int] = []
    old = signal.signal(signal.SIGINT, lambda signum, frame: seen.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)
    if seen:
        raise KeyboardInterrupt


def _check_time_limit(time_limit: float | None) -> None:
    if time_limit is not None and not (time_limit >= 0 and time_limit != float("inf")):
        raise ValueError(f"time_limit must be a finite number of at least 0, not {time_limit!r}")


# ---------------------------------------------------------------------------------------------
# On the workers


class _Source(NamedTuple):
    """Where a worker finds a formula: a path (with what the client saw of the file), the
    file's bytes, or a pickled CNF.  (A CNF scattered to the workers comes as an argument of its
    own.)  A CNF travels pickled because the scheduler unpacks a task's arguments: as bytes it
    is rebuilt on the worker only."""

    token: str
    path: str | None = None
    size: int = -1
    mtime_ns: int = -1
    data: bytes | None = None
    pickled: bytes | None = None


def _source(path: PathLike, token: str) -> _Source:
    name = os.path.abspath(os.fspath(path))
    st = os.stat(name)
    return _Source(token, name, st.st_size, st.st_mtime_ns)


def _with_data(src: _Source) -> _Source:
    """The same source with the file's bytes, read here (OSError when this process cannot)."""
    assert src.path is not None
    with open(src.path, "rb") as f:
        return src._replace(data=f.read())


# A worker keeps the last few formulas it read, with what the proof filter needs of them.
_FORMULAS: OrderedDict[str, CNF] = OrderedDict()
_LONGEST: dict[tuple[str, bool], int] = {}
_CACHE_LOCK = threading.Lock()


def _load(src: _Source, formula: CNF | None) -> CNF | None:
    """The formula, or None when the path does not lead to the file the client saw."""
    if formula is not None:
        return formula
    with _CACHE_LOCK:
        if src.token in _FORMULAS:
            _FORMULAS.move_to_end(src.token)
            return _FORMULAS[src.token]
    if src.pickled is not None:
        cnf = pickle.loads(src.pickled)
    elif src.data is not None:
        data = decompress(src.data, src.path or src.token)
        cnf = CNF.from_clausedb(_native.read_dimacs_bytes(data, src.path or src.token))
    else:
        assert src.path is not None
        try:
            st = os.stat(src.path)
        except OSError:
            return None
        if (st.st_size, st.st_mtime_ns) != (src.size, src.mtime_ns):
            return None
        cnf = CNF.from_file(src.path)
    with _CACHE_LOCK:
        _FORMULAS[src.token] = cnf
        while len(_FORMULAS) > 4:
            old, _ = _FORMULAS.popitem(last=False)
            _LONGEST.pop((old, True), None)
            _LONGEST.pop((old, False), None)
    return cnf


def _longest(token: str, cnf: CNF, binary: bool) -> int:
    key = (token, binary)
    if key not in _LONGEST:
        _LONGEST[key] = longest_encoding(cnf, binary)
    return _LONGEST[key]


def _stop_check() -> Callable[[], bool]:
    """A function telling whether the running task should stop: it was cancelled, or its worker
    is closing (always False outside a worker)."""
    try:
        worker = get_worker()
        key = worker.get_current_task()
    except (ValueError, KeyError):
        return lambda: False

    def cancelled() -> bool:
        if worker.status not in (Status.running, Status.paused):
            return True
        ts = worker.state.tasks.get(key)
        return ts is None or ts.state == "cancelled"

    return cancelled


def _search(solver: Solver, assumptions: Sequence[int], time_limit: float | None, stop: Callable[[], bool]) -> bool | None:
    """solve() that stops when `stop()` says so: the search runs without the interpreter lock
    while a watcher thread polls `stop()` and interrupts it."""
    done = threading.Event()

    def watch() -> None:
        while not done.wait(0.05):
            if stop():
                solver.interrupt()
                return

    th = threading.Thread(target=watch, daemon=True)
    th.start()
    try:
        return solver.solve(assumptions, time_limit=time_limit)
    finally:
        done.set()
        th.join()


def _where() -> str | None:
    try:
        return str(get_worker().address)
    except ValueError:
        return None


def _solve_task(index: int, name: str, src: _Source, formula: CNF | None, options: dict[str, Any],
                time_limit: float | None, proof_path: str | None, proof_format: str, check: bool) -> BatchResult | str:
    """One formula of a batch, on a worker."""
    t0 = time.monotonic()
    times = {"read": 0.0, "solve": 0.0, "check": 0.0}
    where = _where()

    def failed(reason: str) -> BatchResult:
        return BatchResult(name, None, None, {}, time.monotonic() - t0, None, None, reason, where, index, times)

    try:
        cnf = _load(src, formula)
    except OSError as e:
        return failed(f"cannot read file: {e.strerror or e}")
    except (ValueError, MemoryError) as e:
        return failed(str(e) or type(e).__name__)
    if cnf is None:
        return UNREACHABLE
    times["read"] = time.monotonic() - t0
    left = None if time_limit is None else max(0.0, time_limit - times["read"])
    scratch = None
    target = proof_path
    if target is None and check:
        fd, target = tempfile.mkstemp(prefix="norvane-", suffix=".drat")
        os.close(fd)
        scratch = target
    tmp = None
    try:
        if target is not None:
            tmp = target if scratch else _temporary_beside(target)
        t1 = time.monotonic()
        with Solver(cnf, proof=tmp, proof_format=proof_format, **options) as s:
            answer = _search(s, [], left, _stop_check())
            model, stats = s.model, s.stats
        times["solve"] = time.monotonic() - t1
        verdict = written = None
        if answer is True and (model is None or not satisfies(cnf, model)):
            return failed("the model does not satisfy the formula")
        if answer is False and tmp is not None:
            if check:
                t2 = time.monotonic()
                verdict = check_proof(cnf, tmp)
                times["check"] = time.monotonic() - t2
            if proof_path is not None:
                os.replace(tmp, proof_path)
                tmp, written = None, proof_path
        return BatchResult(name, answer, model, stats, time.monotonic() - t0, written, verdict, None, where, index, times)
    except OSError as e:
        return failed(f"{e.filename or ''}{': ' if e.filename else ''}{e.strerror or e}")
    except MemoryError:
        return failed("out of memory")
    finally:
        for path in {tmp, scratch} - {None}:
            try:
                os.unlink(path)  # type: ignore[arg-type]
            except FileNotFoundError:
                pass


def _temporary_beside(target: str) -> str:
    fd, path = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=os.path.dirname(target) or ".")
    os.close(fd)
    return path


class _CubeAnswer(NamedTuple):
    cube: int
    sat: bool | None
    core: list[int] | None
    model: list[int] | None
    proof: bytes | None
    stats: dict[str, int]
    seconds: float
    worker: str | None


def _cube_task(index: int, src: _Source, formula: CNF | None, cube: list[int], options: dict[str, Any],
               time_limit: float | None, proof_format: str | None) -> _CubeAnswer | str:
    """One cube, on a worker: the formula under the cube's literals as assumptions, in a solver
    of its own.  A refuted cube's proof comes back with only its own deletions."""
    t0 = time.monotonic()
    cnf = _load(src, formula)
    if cnf is None:
        return UNREACHABLE
    path = None
    if proof_format is not None:
        fd, path = tempfile.mkstemp(prefix="norvane-cube-", suffix=".drat")
        os.close(fd)
    try:
        with Solver(cnf, proof=path, proof_format=proof_format or "text", **options) as s:
            answer = _search(s, cube, time_limit, _stop_check())
            core = s.core if answer is False else None
            model, stats = s.model, s.stats
        proof = None
        if answer is False and path is not None:
            binary = proof_format == "binary"
            with open(path, "rb") as f:
                proof = own_deletions_only(f.read(), binary, _longest(src.token, cnf, binary))
        return _CubeAnswer(index, answer, core, model, proof, stats, time.monotonic() - t0, _where())
    finally:
        if path is not None:
            os.unlink(path)


# ---------------------------------------------------------------------------------------------
# solve_many


def _proof_names(names: list[str], proof_dir: str) -> list[str]:
    """One proof file per formula in proof_dir: the file's name without its extensions, with the
    formula's position added where two would collide."""
    stems = []
    for i, name in enumerate(names):
        base = os.path.basename(name) if not name.startswith("<") else f"formula-{i}"
        for ext in (".xz", ".gz", ".bz2", ".cnf", ".dimacs"):
            base = base.removesuffix(ext)
        stems.append(base or f"formula-{i}")
    seen: dict[str, int] = {}
    for s in stems:
        seen[s] = seen.get(s, 0) + 1
    return [os.path.join(proof_dir, f"{s}.drat" if seen[s] == 1 else f"{s}-{i}.drat") for i, s in enumerate(stems)]


def solve_many(formulas: Iterable[Formula], *, client: ClientLike = None, time_limit: float | None = None,
               proof_dir: PathLike | None = None, check: bool = False, workers: int | None = None,
               proof_format: str = "text", **options: Any) -> Iterator[BatchResult]:
    """Decide many formulas on a Dask cluster; yields a `BatchResult` per formula, in the order
    they finish: (name, sat, model, stats, seconds, proof, check, error, worker, position, times).

    `formulas`: paths (workers read them themselves; a worker that cannot is sent the file's
    bytes) or `CNF` objects.  `client`: None (a LocalCluster of `workers` processes, one per core
    by default, for this call), a `dask.distributed.Client`, or a scheduler address.
    `time_limit`: seconds per formula, reading included (sat None when it runs out).
    `proof_dir`: each unsatisfiable formula's DRAT proof is written there by its worker (on a
    cluster, a directory every worker can write).  `check`: each proof is checked on the worker
    (a model is always checked against its formula).  `options`: search options of `Solver`.

    A formula that cannot be read, or whose worker died twice (killed, out of memory), comes
    back with `error` set and nothing else is lost.  Closing the generator early cancels what
    is left."""
    options = complete(options, "solve_many()")
    _check_time_limit(time_limit)
    if proof_format not in ("text", "binary"):
        raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
    items = list(formulas)
    names: list[str] = []
    for i, f in enumerate(items):
        if isinstance(f, CNF):
            names.append(f"<CNF {i}>")
        elif isinstance(f, (str, os.PathLike)):
            names.append(os.fspath(f))
        else:
            raise TypeError(f"formulas must be paths or CNF objects, not {type(f).__name__} (formula {i})")
    proofs: list[str | None] = [None] * len(items)
    if proof_dir is not None:
        directory = os.path.abspath(os.fspath(proof_dir))
        os.makedirs(directory, exist_ok=True)
        proofs = list(_proof_names(names, directory))
    return _solve_many(items, names, proofs, client, workers, time_limit, check, proof_format, options)


def _solve_many(items: list[Formula], names: list[str], proofs: list[str | None], client: ClientLike,
                workers: int | None, time_limit: float | None, check: bool, proof_format: str,
                options: dict[str, Any]) -> Iterator[BatchResult]:
    if not items:
        return
    token = uuid.uuid4().hex[:12]
    with _connect(client, workers) as c:
        pending: dict[str, Future] = {}
        index: dict[str, int] = {}
        ac = as_completed(loop=c.loop, with_results=True, raise_errors=False)

        def submit(first: list[tuple[int, _Source]]) -> None:
            keys = [f"norvane-solve-{token}-{i}-{'data' if src.data is not None else 'path'}" for i, src in first]
            # One message to the scheduler for them all: its work per message is much the same for
            # one task as for many.  (Tasks that come more than twice the worker threads at once it
            # also holds back, handing a worker the next one when it has a thread free, with
            # worker-saturation 1.0 as in local_client.)
            futures = c.map(_solve_task, *zip(*((i, names[i], src, None, options, time_limit, proofs[i], proof_format,
                                                 check) for i, src in first)), key=keys, pure=False, retries=0)
            for (i, _), key, fut in zip(first, keys, futures):
                pending[key], index[key] = fut, i
                ac.add(fut)

        def unread(i: int, e: OSError) -> BatchResult:
            return BatchResult(names[i], None, None, {}, 0.0, None, None, f"cannot read file: {e.strerror or e}",
                               None, i, {})

        try:
            # The tasks go to the scheduler together, a few megabytes of formulas at most at once.
            first: list[tuple[int, _Source]] = []
            size = 0
            for i, f in enumerate(items):
                if isinstance(f, CNF):
                    src = _Source(f"{token}-{i}", pickled=pickle.dumps(f, pickle.HIGHEST_PROTOCOL))
                    size += len(src.pickled or b"")
                else:
                    try:
                        src = _source(f, f"{token}-{i}")
                    except OSError as e:
                        yield unread(i, e)
                        continue
                first.append((i, src))
                if size > GRAPH_BYTES:
                    submit(first)
                    first, size = [], 0
            if first:
                submit(first)
            for fut, res in ac:
                pending.pop(fut.key, None)
                i = index[fut.key]
                if fut.status == "cancelled":
                    continue
                if fut.status == "error":
                    yield BatchResult(names[i], None, None, {}, 0.0, None, None, _reason(res[1]), None, i, {})
                elif res == UNREACHABLE:  # the worker does not see this file: send its bytes
                    try:
                        submit([(i, _with_data(_source(names[i], f"{token}-{i}")))])
                    except OSError as e:
                        yield unread(i, e)
                else:
                    yield res
        finally:
            if pending:
                c.cancel(list(pending.values()))


def _reason(exc: BaseException | None) -> str:
    if exc is None:
        return "unknown failure"
    if type(exc).__name__ == "KilledWorker":
        return f"its worker died while solving it, also when retried ({exc})"
    return f"{type(exc).__name__}: {exc}"


# ---------------------------------------------------------------------------------------------
# cube_and_conquer


def auto_depth(workers: int) -> int:
    """The split depth cube_and_conquer takes for `workers` workers: about CUBES_PER_WORKER
    cubes each."""
    return min(MAX_DEPTH, max(1, (CUBES_PER_WORKER * max(1, workers) - 1).bit_length()))


def cube_and_conquer(formula: Formula, *, cubes: int | None = None, client: ClientLike = None,
                     time_limit: float | None = None, proof: PathLike | None = None, proof_format: str = "text",
                     workers: int | None = None, **options: Any) -> CubeResult:
    """Decide one hard formula on a Dask cluster by splitting it into cubes.

    A first short search here (it may answer on its own), then lookahead on the most
    constrained variables splits the formula `cubes` levels deep (None: about 8 cubes per
    worker); each cube is solved under assumptions on the workers.  The first satisfiable cube
    stops all work and gives the model; a refuted cube whose core does not use its last
    branching literals refutes the node above and prunes every cube under it.  When all are
    refuted the answer is False and, with `proof`, one DRAT proof of the whole formula is
    written there (`proof_format` "text" or "binary").  `time_limit`: seconds for the whole
    call (sat None when it runs out).  `client` and `workers` as for `solve_many`; `options`:
    search options of `Solver`, for every search."""
    options = complete(options, "cube_and_conquer()")
    _check_time_limit(time_limit)
    if proof_format not in ("text", "binary"):
        raise ValueError(f"proof_format must be 'text' or 'binary', not {proof_format!r}")
    if cubes is not None and (isinstance(cubes, bool) or not isinstance(cubes, int)):
        raise TypeError(f"cubes must be a whole number or None, not {type(cubes).__name__}")
    if cubes is not None and not 0 <= cubes <= MAX_DEPTH:
        raise ValueError(f"cubes (the split depth) must be from 0 to {MAX_DEPTH}, not {cubes}")
    if not isinstance(client, (Client, str)) and client is not None:
        raise TypeError(f"client must be a dask.distributed.Client, a scheduler address or None, not {type(client).__name__}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    return _cube_and_conquer(formula, cubes, lambda: _connect(client, workers), time_limit, proof, proof_format,
                             options)


def _cube_and_conquer(formula: Formula, cubes: int | None, cluster: Callable[[], AbstractContextManager[Client]],
                      time_limit: float | None, proof: PathLike | None, proof_format: str,
                      options: dict[str, Any]) -> CubeResult:
    """cube_and_conquer with its arguments checked; `cluster()` gives the client to use, and is
    called only when the first search leaves cubes to solve."""
    start = time.monotonic()
    end = None if time_limit is None else start + time_limit
    path = None
    if isinstance(formula, CNF):
        cnf = formula
    elif isinstance(formula, (str, os.PathLike)):
        path = os.fspath(formula)
        cnf = CNF.from_file(path)
    else:
        raise TypeError(f"formula must be a path or a CNF, not {type(formula).__name__}")
    run = _CubeRun(cnf, path, options, end, proof, proof_format, start)
    try:
        return run.go(cubes, cluster)
    finally:
        run.cleanup()


class _CubeRun:
    """One cube_and_conquer call: the first search and split here, cubes on the cluster, the
    proof assembled as answers come in."""

    def __init__(self, cnf: CNF, path: str | None, options: dict[str, Any], end: float | None,
                 proof: PathLike | None, proof_format: str, start: float) -> None:
        self.cnf, self.path, self.options, self.end, self.start = cnf, path, options, end, start
        self.target = None if proof is None else os.path.abspath(os.fspath(proof))
        self.format = proof_format
        self.binary = proof_format == "binary"
        self.tmp: str | None = None
        self.first: str | None = None
        self.stats: dict[str, int] = dict.fromkeys(STATS, 0)
        self.spread: dict[str, tuple[int, float]] = {}
        self.tree: Split | None = None

    def left(self) -> float | None:
        return None if self.end is None else max(0.0, self.end - time.monotonic())

    def result(self, sat: bool | None, model: list[int] | None = None, error: str | None = None) -> CubeResult:
        proof = None
        if sat is False and self.tmp is not None and self.target is not None:
            os.replace(self.tmp, self.target)
            self.tmp, proof = None, self.target
        t = self.tree
        return CubeResult(sat, model, proof, len(t.cubes) if t else 0, len(t.refuted) if t else 0,
                          len(t.by_propagation) if t else 0, len(t.pruned) if t else 0, t.depth if t else 0,
                          time.monotonic() - self.start, dict(self.spread), dict(self.stats), error)

    def add_stats(self, stats: dict[str, int]) -> None:
        for k, v in stats.items():
            if k == "max_trail":
                self.stats[k] = max(self.stats[k], v)
            else:
                self.stats[k] += v

    def go(self, cubes: int | None, cluster: Callable[[], AbstractContextManager[Client]]) -> CubeResult:
        if self.target is not None:
            self.tmp = _temporary_beside(self.target)
            self.first = _temporary_beside(self.target)
        with Solver(self.cnf, proof=self.first, proof_format=self.format, **self.options) as s:
            answer = s.solve(conflict_limit=FIRST_CONFLICTS, time_limit=self.left())
            self.add_stats(s.stats)
            if answer is not None or (self.end is not None and self.left() == 0):
                model = s.model
                s.close()
                if answer is False and self.first is not None:
                    assert self.tmp is not None
                    os.replace(self.first, self.tmp)
                    self.first = None
                return self.result(answer, model)
            depth = cubes
            with cluster() as c:
                if depth is None:
                    depth = auto_depth(len(c.scheduler_info().get("workers", {})) or 1)
                budget = None if self.end is None else 0.1 * (self.left() or 0.0)
                engine = s._engine

                def count(cube: list[int]) -> tuple[bool, int]:  # the engine's own literals, counted
                    ok, implied = engine.propagate([l + l - 2 if l > 0 else -l - l - 1 for l in cube])
                    return ok, len(implied)

                self.tree = Split.build(self.cnf, s.propagate, depth, budget=budget, count=count)
                s.close()
                self.write_head()
                return self.conquer(c)

    def write_head(self) -> None:
        """The first search's proof (own deletions only) and the leaves propagation refuted."""
        if self.tmp is None or self.first is None:
            return
        assert self.tree is not None
        with open(self.first, "rb") as f:
            data = own_deletions_only(f.read(), self.binary, longest_encoding(self.cnf, self.binary))
        with open(self.tmp, "wb") as out:
            out.write(data)
            _native.write_steps(out, [(False, c) for c in self.tree.head_steps()], self.binary)

    def conquer(self, c: Client) -> CubeResult:
        tree = self.tree
        assert tree is not None
        if tree.done:
            self.write_tail()
            return self.result(False)
        token = uuid.uuid4().hex[:12]
        src, formula = _Source(token), None
        if self.path is not None:
            try:
                src = _source(self.path, token)
            except OSError:
                pass
        if src.path is None:
            formula = c.scatter(self.cnf, broadcast=True, hash=False)
        fmt = self.format if self.tmp is not None else None
        futures: dict[int, Future] = {}
        index: dict[str, int] = {}
        ac = as_completed(loop=c.loop, with_results=True, raise_errors=False, timeout=self.left())

        def submit(i: int) -> None:
            key = f"norvane-cube-{token}-{i}-{'scattered' if formula is not None else 'path'}"
            fut = c.submit(_cube_task, i, src, formula, tree.cubes[i].cube, self.options, self.left(), fmt,
                           key=key, pure=False, retries=0)
            futures[i], index[key] = fut, i
            ac.add(fut)

        out = None if self.tmp is None else open(self.tmp, "ab")
        try:
            for i in range(len(tree.cubes)):
                submit(i)
            while True:
                try:
                    fut, res = next(ac)
                except TimeoutError:
                    return self.result(None)
                except StopIteration:  # every future cancelled from outside
                    return self.result(None, error="the cubes were cancelled")
                i = index[fut.key]
                if futures.get(i) is fut:
                    del futures[i]
                if fut.status == "cancelled" or not tree.is_open(i):
                    continue
                if fut.status == "error":
                    return self.result(None, error=f"cube {i} {tree.cubes[i].cube}: {_reason(res[1])}")
                if res == UNREACHABLE:  # the workers do not see the file: send the formula itself
                    if formula is None:
                        formula = c.scatter(self.cnf, broadcast=True, hash=False)
                    submit(i)
                    continue
                done = self.take(c, res, futures, out)
                if done is not None:
                    return done
        finally:
            if out is not None:
                out.close()
            if futures:
                c.cancel(list(futures.values()))

    def take(self, c: Client, res: _CubeAnswer, futures: dict[int, Future], out: Any) -> CubeResult | None:
        """One cube's answer; the call's result once the formula is decided."""
        tree = self.tree
        assert tree is not None
        self.add_stats(res.stats)
        if res.worker is not None:
            n, secs = self.spread.get(res.worker, (0, 0.0))
            self.spread[res.worker] = (n + 1, secs + res.seconds)
        if res.sat is True:
            if res.model is None or not satisfies(self.cnf, res.model):
                return self.result(None, error=f"cube {res.cube}: the model does not satisfy the formula")
            return self.result(True, res.model)
        if res.sat is None:  # time is up, or the cube was stopped
            return self.result(None) if self.end is not None and self.left() == 0 else None
        if out is not None and res.proof is not None:
            out.write(res.proof)
        pruned = [futures.pop(j) for j in tree.refute(res.cube, res.core or []) if j in futures]
        if pruned:
            c.cancel(pruned)
        if not tree.done:
            return None
        if out is not None:
            _native.write_steps(out, [(False, cl) for cl in tree.tail_steps()], self.binary)
            out.close()
        return self.result(False)

    def write_tail(self) -> None:
        if self.tmp is None or self.tree is None:
            return
        with open(self.tmp, "ab") as out:
            _native.write_steps(out, [(False, c) for c in self.tree.tail_steps()], self.binary)

    def cleanup(self) -> None:
        for p in (self.tmp, self.first):
            if p is not None:
                try:
                    os.unlink(p)
                except FileNotFoundError:
                    pass
