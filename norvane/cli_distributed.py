"""The cluster side of the `norvane` command: `norvane batch` and `norvane solve --cubes`.

Imported only when one of them runs, so the command starts without Dask and says which extra
to install when it is missing.  `batch` shows a live progress bar on a terminal (a plain line
every ten seconds otherwise), prints a line per formula as it finishes and a summary table at
the end; the results can also go to a JSON-lines file.  The solving itself is
norvane.distributed's.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

from .cli import Progress
from .distributed import BatchResult, Client, CubeResult, _cube_and_conquer, close_client, local_client, solve_many
from .options import complete

ANSWERS = ("SATISFIABLE", "UNSATISFIABLE", "UNKNOWN", "FAILED")


class Bar(Progress):
    """done/total, the answers so far, elapsed time and rate: one line kept up to date on a
    terminal (ticking between results), a plain line every ten seconds otherwise.  Lines printed
    through `add` go above it."""

    def __init__(self, total: int, enabled: bool, stream: TextIO | None = None) -> None:
        self.total = total
        self.counts: Counter[str] = Counter()
        super().__init__(enabled, "", stream)

    def _line(self) -> str:
        done = sum(self.counts.values())
        elapsed = time.monotonic() - self.start
        width = 20
        filled = width * done // self.total if self.total else width
        rate = done / elapsed if elapsed > 0 else 0.0
        c = self.counts
        return (f"[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total}  sat {c['SATISFIABLE']}  "
                f"unsat {c['UNSATISFIABLE']}  unknown {c['UNKNOWN']}  failed {c['FAILED']}  "
                f"{elapsed:.1f}s  {rate:.1f}/s")

    def add(self, status: str, text: str | None) -> None:
        with self.lock:
            self.counts[status] += 1
            if self.live:
                self.stream.write("\r\x1b[K")
                self.stream.flush()
            if text is not None:
                sys.stdout.write(text + "\n")
                sys.stdout.flush()
            if self.live:
                self._paint()
            elif self.enabled and time.monotonic() - self.last_plain >= 10.0:
                self.last_plain = time.monotonic()
                print(self._line(), file=self.stream, flush=True)


def _describe(r: BatchResult, check: bool) -> str:
    text = f"{r.status:<13} {r.seconds:9.3f}s  {r.name}"
    if r.error is not None:
        text += f"  ({r.error})"
    elif r.check is not None:
        text += "  proof verified" if r.check.ok else f"  proof NOT verified: {r.check.message}"
    elif check and r.sat is False:
        text += "  proof not checked"
    return text


def _record(r: BatchResult) -> dict[str, Any]:
    return {"file": r.name, "index": r.position, "answer": r.status, "seconds": round(r.seconds, 6),
            "times": {k: round(v, 6) for k, v in r.times.items()}, "model": r.model, "stats": r.stats,
            "proof": r.proof, "check": None if r.check is None else r.check._asdict(), "error": r.error,
            "worker": r.worker}


def connect(args: argparse.Namespace) -> Client:
    """The cluster of --scheduler, or a LocalCluster of --workers processes."""
    if args.scheduler is None:
        return local_client(args.workers)
    try:
        return Client(args.scheduler, timeout="10s")
    except (OSError, TimeoutError, ValueError) as e:
        raise ConnectionError(f"--scheduler {args.scheduler}: cannot connect: {e}") from None


def _workers(client: Client) -> int:
    return len(client.scheduler_info().get("workers", {}))


def cmd_batch(args: argparse.Namespace, options: dict[str, Any], out: Any) -> int:
    """norvane batch: returns the exit code (0 when every formula was answered and, with
    --check, every proof verified; 1 otherwise; 130 on Ctrl-C)."""
    start = time.monotonic()
    results: list[BatchResult] = []
    interrupted = False
    client = connect(args)
    try:
        print(f"c norvane batch: {len(args.files)} formulas on {_workers(client)} workers "
              f"({'scheduler ' + args.scheduler if args.scheduler else 'local cluster'})", flush=True)
        bar = Bar(len(args.files), not args.quiet)
        sink = None if out is None else open(out.path, "w")
        try:
            for r in solve_many(args.files, client=client, time_limit=args.time_limit, proof_dir=args.proof_dir,
                                check=args.check, proof_format=args.proof_format, **options):
                results.append(r)
                if sink is not None:
                    sink.write(json.dumps(_record(r)) + "\n")
                    sink.flush()
                bar.add(r.status, _describe(r, args.check))
        except KeyboardInterrupt:
            interrupted = True
        finally:
            bar.close()
            if sink is not None:
                sink.close()
    finally:
        nworkers = _workers(client) if not interrupted else None
        close_client(client)
    if out is not None:
        out.commit()
    ok = _summary(results, len(args.files), time.monotonic() - start, nworkers, args.check, interrupted)
    if out is not None:
        print(f"c results written to {out.target}")
    if interrupted:
        return 130
    return 0 if ok else 1


def _summary(results: list[BatchResult], total: int, wall: float, nworkers: int | None, check: bool,
             interrupted: bool) -> bool:
    """The table at the end; whether every formula got an answer (and every proof checked)."""
    counts: Counter[str] = Counter(r.status for r in results)
    seconds: dict[str, float] = dict.fromkeys(ANSWERS, 0.0)
    for r in results:
        seconds[r.status] += r.seconds
    rows = [("answer", "formulas", "worker time")]
    for a in ANSWERS:
        rows.append((a, str(counts[a]), f"{seconds[a]:.3f}s" if a != "FAILED" else ""))
    rows.append(("total", str(len(results)), f"{sum(seconds.values()):.3f}s"))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    print()
    for i, row in enumerate(rows):
        print(f"{row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}".rstrip())
        if i == 0 or i == len(rows) - 2:
            print("-" * (sum(widths) + 4))
    on = f" on {nworkers} workers" if nworkers else ""
    print(f"{len(results)} of {total} formulas in {wall:.1f}s ({len(results) / wall if wall > 0 else 0:.1f} per second){on}"
          + ("; interrupted" if interrupted else ""))
    checked = [r for r in results if r.sat is False]
    bad = [r for r in checked if r.check is None or not r.check.ok]
    if check:
        print(f"proofs: {len(checked) - len(bad)} of {len(checked)} verified")
    failed = [r for r in results if r.error is not None]
    if failed:
        print("failed:")
        for r in failed:
            print(f"  {r.name}: {r.error}")
    answered = counts["SATISFIABLE"] + counts["UNSATISFIABLE"]
    return answered == total and not (check and bad)


def solve_cubes(args: argparse.Namespace, cnf: Any, proof: str | None, time_limit: float | None,
                options: dict[str, Any]) -> CubeResult:
    """norvane solve --cubes: cube and conquer on the cluster, with its figures as comment lines."""
    depth = None if args.cubes == "auto" else int(args.cubes)

    @contextmanager
    def cluster() -> Iterator[Client]:  # only once the first search leaves cubes to solve
        client = connect(args)
        try:
            print(f"c cube and conquer on {_workers(client)} workers "
                  f"({'scheduler ' + args.scheduler if args.scheduler else 'local cluster'})", flush=True)
            yield client
        finally:
            close_client(client)

    r = _cube_and_conquer(cnf, depth, cluster, time_limit, proof, args.proof_format, complete(options, "solve"))
    if r.cubes == 0:
        print("c answered by the first search, before splitting")
    else:
        print(f"c cubes {r.cubes} (depth {r.depth}): {r.refuted} refuted on workers, {r.by_propagation} leaves "
              f"refuted by propagation, {r.pruned} pruned")
        for w, (k, secs) in sorted(r.workers.items()):
            print(f"c worker {w}: {k} cubes, {secs:.3f}s")
    if r.error:
        print(f"c error: {r.error}", file=sys.stderr)
    print("c " + " ".join(f"{k} {r.stats[k]}" for k in ("conflicts", "decisions", "propagations", "restarts")))
    return r
