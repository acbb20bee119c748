#!/usr/bin/env python3
"""Batch solving and cube and conquer on a local Dask cluster against one process.

Batch: every instance of the shared set (`--rounds` times over) decided by solve_many on a
LocalCluster of N single-threaded worker processes (N = cores unless --workers), and on one of a
single worker, against a loop in this process that reads and solves each file in turn.  Reports
the throughput ratio (target at least 0.8 N) and the overhead per formula beyond its solve time:
the worker slots' time (N x wall) not spent reading and solving in the loop, per formula (target
under 20 ms).  Cluster start-up is left out (a cluster serves many batches).

Cube and conquer: the set's UNSAT instances that take the single solver over --hard seconds, each
decided by cube_and_conquer with a proof on the N-worker cluster, best of --repeat runs, against
the single solver with a proof, best of as many (target at most 0.7x); the combined proof is
checked, and the cubes and how the work spread over the workers are shown.  In processor time as
well: the single solver's, the cube work summed over the workers, and the longest path (this
process's first search, split and proof assembly, plus the busiest worker), which is the wall
time a machine with N free cores would see.

Timings on a shared machine are noisy: the load average is printed before and after, and the
batch is also measured in processor time (this process, which holds the local scheduler, and every
cluster process), which other users' load does not inflate: the processor time beyond the loop's,
per formula, the part of it that is per task (leaving out the idle cluster's upkeep over the wall
time, measured beforehand), and the share of N x wall the workers got the processor for.
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import psutil

from common import BENCH, instances

from norvane import CNF, Solver, check_proof
from norvane.distributed import close_client, cube_and_conquer, local_client, solve_many


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def cpu(processes: list[psutil.Process]) -> float:
    total = 0.0
    for p in processes:
        try:
            t = p.cpu_times()
            total += t.user + t.system
        except psutil.NoSuchProcess:
            pass
    return total


def one_process(files: list[str]) -> tuple[float, float, dict[str, float]]:
    """Wall and processor time of reading and solving each file in turn here, and each file's
    (best) time."""
    each: dict[str, float] = {}
    t0, c0 = time.perf_counter(), time.process_time()
    for f in files:
        t = time.perf_counter()
        with Solver(CNF.from_file(f)) as s:
            s.solve()
        each[f] = min(each.get(f, float("inf")), time.perf_counter() - t)
    return time.perf_counter() - t0, time.process_time() - c0, each


def batch(files: list[str], client, expected: dict[str, str]) -> float:
    t0 = time.perf_counter()
    for r in solve_many(files, client=client):
        want = expected[os.path.basename(r.name)]
        if r.status != ("SATISFIABLE" if want == "SAT" else "UNSATISFIABLE"):
            sys.exit(f"wrong answer: {r.name} {r.status} {r.error or ''}")
    return time.perf_counter() - t0


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--rounds", type=int, default=3, help="times over the set in the batch (default 3)")
    ap.add_argument("--hard", type=float, default=1.0, help="cube and conquer on UNSAT instances over this (s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each cube-and-conquer measurement")
    args = ap.parse_args(argv)
    n = args.workers
    rows = instances(args.names)
    expected = {r["file"]: r["expected"] for r in rows}
    files = [str(BENCH / "cnf" / r["file"]) for r in rows] * args.rounds
    print(f"{os.cpu_count()} cores, N = {n} workers; load average {load()}")

    one, one_cpu, each = one_process(files)
    solve_total = sum(each[f] for f in files)
    print(f"\nbatch of {len(files)} formulas ({len(rows)} instances x {args.rounds})")
    print(f"  one process:        {one:7.2f}s  {len(files) / one:7.1f} formulas/s  (reading and solving {solve_total:.2f}s, "
          f"processor {one_cpu:.2f}s)")
    for k in sorted({1, n}):
        t = time.perf_counter()
        client = local_client(k)
        started = time.perf_counter() - t
        try:
            batch(files[: 2 * k], client, expected)  # the workers import norvane once
            procs = [psutil.Process(), *psutil.Process().children(recursive=True)]
            workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
            c0 = cpu(procs)
            time.sleep(3.0)  # the idle cluster's own upkeep (heartbeats, monitors), per second
            idle = (cpu(procs) - c0) / 3.0
            c0, w0 = cpu(procs), cpu(workers)
            wall = batch(files, client, expected)
            c1, w1 = cpu(procs), cpu(workers)
        finally:
            close_client(client)
        overhead = (k * wall - solve_total) / len(files)
        cpu_overhead = (c1 - c0 - one_cpu) / len(files)
        per_task = (c1 - c0 - one_cpu - idle * wall) / len(files)
        print(f"  {k} worker process{'es' if k > 1 else '':2}: {wall:7.2f}s  {len(files) / wall:7.1f} formulas/s  "
              f"throughput {one / wall:4.2f}x one process (target {0.8 * k:.1f}x)  "
              f"overhead {1000 * overhead:5.1f} ms/formula (target < 20)  [cluster start {started:.1f}s]")
        print(f"    processor: {c1 - c0:.2f}s in all, {1000 * cpu_overhead:.1f} ms/formula beyond the loop's, "
              f"{1000 * per_task:.1f} ms of it per task (the rest is the cluster's upkeep, {1000 * idle:.0f} ms/s "
              f"idle, over the wall time); the workers ran {100 * (w1 - w0) / (k * wall):.0f}% of {k} x wall")

    hard = [f for f in dict.fromkeys(files) if expected[os.path.basename(f)] == "UNSAT" and each[f] > args.hard]
    print(f"\ncube and conquer on {len(hard)} UNSAT instances over {args.hard:g}s alone, {n} workers, "
          f"with proofs, best of {args.repeat}")
    client = local_client(n)
    tmp = tempfile.mkdtemp(prefix="norvane-cc-")
    try:
        cube_and_conquer(CNF.from_file(hard[0]) if hard else CNF([[1]]), client=client, cubes=1)  # warm up
        workers = {a: psutil.Process(pid) for a, pid in client.run(os.getpid).items()}
        me = psutil.Process()
        for f in hard:
            cnf = CNF.from_file(f)
            single, single_cpu = float("inf"), float("inf")
            for _ in range(args.repeat):
                t, c = time.perf_counter(), time.process_time()
                with Solver(cnf, proof=os.path.join(tmp, "single.drat")) as s:
                    assert s.solve() is False
                single, single_cpu = min(single, time.perf_counter() - t), min(single_cpu, time.process_time() - c)
            best, res, path_cpu, work_cpu, spread = float("inf"), None, 0.0, 0.0, {}
            for _ in range(args.repeat):
                before = {a: cpu([p]) for a, p in workers.items()}
                t, c = time.perf_counter(), cpu([me])
                r = cube_and_conquer(f, client=client, proof=os.path.join(tmp, "cc.drat"))
                wall, mine = time.perf_counter() - t, cpu([me]) - c
                assert r.sat is False, r.error
                if wall < best:
                    used = {a: cpu([p]) - before[a] for a, p in workers.items()}
                    best, res, spread = wall, r, used
                    path_cpu, work_cpu = mine + max(used.values()), sum(used.values())
            assert res is not None
            ok = check_proof(cnf, os.path.join(tmp, "cc.drat")).ok
            print(f"  {os.path.basename(f):22} single {single:5.2f}s  cubes {best:5.2f}s = {best / single:4.2f}x "
                  f"(target 0.7x)  proof {'accepted' if ok else 'REJECTED'}")
            print(f"    processor: single {single_cpu:.2f}s, cube work {work_cpu:.2f}s = {work_cpu / single_cpu:.2f}x, "
                  f"longest path {path_cpu:.2f}s = {path_cpu / single_cpu:.2f}x")
            print(f"    {res.cubes} cubes at depth {res.depth} (+{res.by_propagation} leaves refuted by propagation), "
                  f"{res.refuted} refuted, {res.pruned} pruned")
            for w, (k, secs) in sorted(res.workers.items()):
                print(f"    worker {w}: {k} cubes, {secs:.2f}s ({spread.get(w, 0.0):.2f}s processor)")
    finally:
        close_client(client)
    print(f"\nload average {load()}")


if __name__ == "__main__":
    main()
