"""norvane.distributed on Dask: solve_many, cube_and_conquer, a dead worker costing its formula alone (also on a
real `dask scheduler`), `norvane batch` and `solve --cubes`, the ImportError without Dask (Ctrl-C: test_cli.py)."""
import importlib.util
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from contextlib import contextmanager, nullcontext
from pathlib import Path

import pytest

from norvane import CNF, check_proof

from conftest import (BENCH, bench_instances, dimacs_models, dimacs_satisfies, php_file, pigeonhole_dimacs,
                      random_formula)

pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="Dask (norvane[distributed]) is not installed")
EXTRA = 'pip install "norvane[distributed]"'
QUEENS = Path(__file__).parents[1] / "norvane/examples/queens8.cnf"


@pytest.fixture(scope="module")
def client():
    from norvane.distributed import local_client
    c = local_client(2)
    yield c
    c.close()


def test_solve_many(client, tmp_path):
    from norvane.distributed import solve_many
    rng = random.Random(5)
    small = [CNF(random_formula(rng, 10, rng.randint(20, 55), minlen=2), nvars=10) for _ in range(12)]
    bench = [r for r in bench_instances().values() if int(r["vars"]) <= 200][:25]
    (bad := tmp_path / "bad.cnf").write_text("p cnf 2 1\n1 x 0\n")
    formulas = [*small, *(BENCH / "cnf" / r["file"] for r in bench), tmp_path / "missing.cnf", bad]
    expected = [bool(dimacs_models(10, list(f))) for f in small] + [r["expected"] == "SAT" for r in bench]
    results = sorted(solve_many(formulas, client=client, proof_dir=tmp_path / "proofs", check=True),
                     key=lambda r: r.position)
    assert [r.position for r in results] == list(range(len(formulas)))
    for r, want in zip(results, expected):
        f = formulas[r.position] if r.position < len(small) else CNF.from_file(formulas[r.position])
        assert r.error is None and r.sat is want, r
        assert dimacs_satisfies(f, r.model) and r.proof is None if want else \
            r.check.ok and check_proof(f, r.proof).ok and Path(r.proof).parent == tmp_path / "proofs"
    *_, missing, malformed = results
    assert missing.status == "FAILED" and missing.error == "cannot read file: No such file or directory"
    assert malformed.status == "FAILED" and malformed.error == f"{bad}:2:3: expected a literal (a decimal integer), found 'x'"
    assert not list(tmp_path.glob("proofs/.*"))  # no temporary proof left behind
    # a worker that does not find the file the caller saw says so; then it is sent the bytes
    from norvane.distributed import UNREACHABLE, _solve_task, _source, _with_data
    src = _source(formulas[len(small)] if bench else php_file(tmp_path, 3), "t")._replace(mtime_ns=1)
    assert _solve_task(0, "f", src, None, {}, None, None, "text", False) == UNREACHABLE
    assert _solve_task(0, "f", _with_data(src), None, {}, None, None, "text", False).sat is not None


class Bomb(CNF):
    def __reduce__(self):
        return os._exit, (3,)  # the worker dies unpacking it, also when retried


def test_a_dying_worker_costs_only_its_formula(monkeypatch):
    from norvane import distributed
    monkeypatch.setattr(distributed, "GRAPH_BYTES", 300)  # the batch goes to the scheduler in parts
    rng = random.Random(12)
    formulas = [CNF(random_formula(rng, 10, rng.randint(30, 50), minlen=2), nvars=10) for _ in range(12)]
    formulas[:0] = [Bomb([[1]]), CNF(pigeonhole_dimacs(8)[1])]  # the bomb, then one that takes a while
    results = sorted(distributed.solve_many(formulas, workers=2), key=lambda r: r.position)
    assert [r.position for r in results] == list(range(len(formulas)))
    bomb, php, *rest = results
    assert bomb.error.startswith("its worker died while solving it, also when retried") and php.sat is False
    assert all(r.error is None and r.sat is bool(dimacs_models(10, list(formulas[r.position]))) for r in rest)


# pigeonhole beside two cliques of equivalent variables the lookahead prefers and the cores never use
PIGEONS_AND_CLIQUES = pigeonhole_dimacs(5)[1] + [[s * a, -s * b] for base in (31, 35) for a in range(base, base + 4)
                                                 for b in range(base, base + 4) if a != b for s in (1, -1)]


def test_cube_and_conquer(client, tmp_path, monkeypatch):  # an unsatisfiable file: test_commands
    from norvane import distributed
    monkeypatch.setattr(distributed, "FIRST_CONFLICTS", 0)  # split at once: the work is on the workers
    proof, cnf = tmp_path / "p.drat", CNF(PIGEONS_AND_CLIQUES)
    r = distributed.cube_and_conquer(php_file(tmp_path, 11), client=client, proof=proof, time_limit=1)
    assert (r.sat, r.error, proof.exists()) == (None, None, False)
    r = distributed.cube_and_conquer(cnf, client=client, proof=proof, cubes=2, proof_format="binary")
    assert r.sat is False and r.error is None and check_proof(cnf, proof).ok
    assert sum(n for n, _ in r.workers.values()) >= r.refuted
    # the cores never touch the cliques split on: the first refuted cube closes them all
    assert (r.depth, r.cubes, r.refuted, r.pruned) == (2, 4, 1, 3)
    proof.unlink()
    # y splits (it propagates a's when true, b's when false; every pigeon clause has -y): one worker
    # satisfies the -y cube at once, the other searches 12 pigeons in 11 holes, minutes: it must stop
    nvars, php = pigeonhole_dimacs(11)
    y, a, b = nvars + 1, nvars + 2, nvars + 4
    cnf = CNF([c + [-y] for c in php] + [[-y, a], [-y, a + 1], [y, b], [y, b + 1]])
    submit, futures = client.submit, []  # held here, the searches stop only when cancelled
    monkeypatch.setattr(client, "submit", lambda *args, **kw: futures.append(submit(*args, **kw)) or futures[-1])
    r = distributed.cube_and_conquer(cnf, client=client, cubes=1, proof=proof)
    assert r.sat is True and -y in r.model and r.cubes == 2 and dimacs_satisfies(cnf, r.model)
    assert r.error is None and not proof.exists() and sorted(f.status for f in futures) == ["cancelled", "finished"]
    psutil = pytest.importorskip("psutil")
    workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
    deadline = time.monotonic() + 30
    while sum(w.cpu_percent(0.5) for w in workers) > 50:  # a search keeps its worker busy
        assert time.monotonic() < deadline, "the other side is still searched"


@contextmanager
def real_cluster(tmp_path):
    """A `dask scheduler` and two `dask worker` processes on localhost, as on a real cluster."""
    from dask.distributed import Client
    env = {**os.environ, "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1",
           "DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION": "1.0"}
    where, dask = tmp_path / "scheduler.json", [sys.executable, "-m", "dask"]
    scheduler = [*dask, "scheduler", "--port", "0", "--no-dashboard", "--scheduler-file", where]
    worker = [*dask, "worker", "--scheduler-file", where, "--nthreads", "1", "--no-nanny", "--no-dashboard"]
    procs = [subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for cmd in (scheduler, worker, worker)]  # the workers wait for the scheduler's file, as we do
    try:
        deadline = time.monotonic() + 120
        while not where.exists():
            assert time.monotonic() < deadline and procs[0].poll() is None
            time.sleep(0.1)
        with Client(scheduler_file=str(where), timeout="120s") as c:
            yield c
    finally:
        for p in procs:
            p.kill()
            p.wait()


@pytest.mark.parametrize("cluster", ["local", "dask scheduler"])
def test_worker_killed_in_the_middle_of_a_batch(cluster, client, tmp_path):
    # a formula whose worker dies once is solved again by another worker: on the module's own
    # cluster by its settings, on a real scheduler by the two the README gives
    from norvane.distributed import solve_many
    formulas = [php_file(tmp_path, 9), php_file(tmp_path, 8), QUEENS, CNF(pigeonhole_dimacs(8)[1])]
    expected = [False, False, True, False]
    with (nullcontext(client) if cluster == "local" else real_cluster(tmp_path)) as c:
        c.wait_for_workers(2, timeout=120)
        pids, killed = c.run(os.getpid), []

        def kill_the_first_formulas_worker():
            while not (where := [addr for addr, keys in c.processing().items()
                                 if any(k.split("-")[3] == "0" for k in keys)]):  # norvane-solve-TOKEN-INDEX-...
                time.sleep(0.05)
            time.sleep(0.3)  # well into its search
            os.kill(pids[where[0]], signal.SIGKILL)
            killed.append(where[0])

        th = threading.Thread(target=kill_the_first_formulas_worker)
        th.start()
        results = list(solve_many(formulas, client=c))
        th.join()
    assert sorted(r.position for r in results) == list(range(len(formulas)))
    assert all(r.error is None and r.sat is expected[r.position] for r in results), results
    assert next(r for r in results if r.position == 0).worker not in (None, *killed)


def test_commands(client, tmp_path, capsys, monkeypatch):
    # batch: exit 0 when every formula is answered (and every proof verified), 1 otherwise; one JSON line each
    from norvane import cli_distributed
    from norvane.cli import main
    files, out = [QUEENS, php_file(tmp_path, 6), php_file(tmp_path, 11)], tmp_path / "out.jsonl"
    cluster = ["--scheduler", client.scheduler.address, "--out", str(out)]

    def lines():
        return {Path(r["file"]).name: r for r in map(json.loads, out.read_text().splitlines())}

    assert main(["batch", *map(str, files[:2]), "--check", *cluster]) == 0
    assert lines()["queens8.cnf"]["answer"] == "SATISFIABLE" and lines()["php6.cnf"]["check"]["ok"]
    printed = capsys.readouterr().out
    assert re.search(r"UNSATISFIABLE +1 ", printed) and "2 of 2 formulas" in printed
    assert main(["batch", *map(str, files), "--time-limit", "2", "--proof-dir", str(tmp_path / "p"), *cluster]) == 1
    assert [lines()[f.name]["answer"] for f in files] == ["SATISFIABLE", "UNSATISFIABLE", "UNKNOWN"]
    assert os.listdir(tmp_path / "p") == ["php6.drat"]  # none for UNKNOWN, no temporary file
    capsys.readouterr()
    proof, php8 = tmp_path / "p.drat", php_file(tmp_path, 8)
    assert main(["solve", str(php8), "--cubes", "2", *cluster[:2], "--proof", str(proof), "--check"]) == 20
    printed = capsys.readouterr().out
    assert "s UNSATISFIABLE" in printed and "c cubes " in printed and check_proof(CNF.from_file(php8), proof).ok
    # solve --cubes starts no cluster when its first search answers
    monkeypatch.setattr(cli_distributed, "connect", lambda args: pytest.fail("a cluster was started"))
    assert main(["solve", str(QUEENS), "--cubes"]) == 10
    assert "c answered by the first search, before splitting" in capsys.readouterr().out


def test_without_dask_the_error_names_the_extra(tmp_path):
    code = ("import sys; sys.modules['dask'] = None\n"
            "try:\n    import norvane.distributed\nexcept ImportError as e:\n    print(e)\n"
            f"from norvane.cli import main\nsys.exit(main(['batch', {str(php_file(tmp_path, 6))!r}]))")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert p.returncode == 2 and EXTRA in p.stdout and EXTRA in p.stderr, (p.stdout, p.stderr)
