"""norvane.distributed: a worker's death costs its formula alone (small batches, batches sent in parts);
`solve --cubes` starts no cluster when its first search answers; a satisfiable cube stops the others."""
import importlib.util
import os
import random
import time

import pytest

from norvane import CNF

from conftest import dimacs_models, pigeonhole_dimacs, random_formula

pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="Dask (norvane[distributed]) is not installed")


class Bomb(CNF):
    def __reduce__(self):
        return os._exit, (3,)  # the worker dies unpacking it, also when retried


@pytest.mark.parametrize("workers, size", [(1, 0), (2, 12)])
def test_a_dying_worker_costs_only_its_formula(monkeypatch, workers, size):
    from norvane import distributed
    if size:
        monkeypatch.setattr(distributed, "GRAPH_BYTES", 300)  # the batch goes to the scheduler in parts
    rng = random.Random(size)
    formulas = [CNF(random_formula(rng, 10, rng.randint(30, 50), minlen=2), nvars=10) for _ in range(size)]
    formulas[:0] = [Bomb([[1]]), CNF(pigeonhole_dimacs(8)[1])]  # the bomb, then one that takes a while
    results = sorted(distributed.solve_many(formulas, workers=workers), key=lambda r: r.position)
    assert [r.position for r in results] == list(range(len(formulas)))
    bomb, php, *rest = results
    assert bomb.error.startswith("its worker died while solving it, also when retried") and php.sat is False
    assert all(r.error is None and r.sat is bool(dimacs_models(10, list(formulas[r.position]))) for r in rest)


def test_cubes_answered_by_the_first_search_start_no_cluster(monkeypatch, capsys):
    from norvane import cli, cli_distributed
    monkeypatch.setattr(cli_distributed, "connect", lambda args: pytest.fail("a cluster was started"))
    assert cli.main(["solve", os.path.join(os.path.dirname(cli.__file__), "examples", "queens8.cnf"), "--cubes"]) == 10
    assert "c answered by the first search, before splitting" in capsys.readouterr().out


def test_a_satisfiable_cube_stops_the_others(monkeypatch):
    # y splits (it propagates a's when true, b's when false; every pigeon clause has -y): one worker
    # satisfies the -y cube at once, the other searches 12 pigeons in 11 holes, minutes: it must stop
    from norvane import distributed
    psutil = pytest.importorskip("psutil")
    monkeypatch.setattr(distributed, "FIRST_CONFLICTS", 0)  # split at once: the work is on the workers
    nvars, php = pigeonhole_dimacs(11)
    y, a, b = nvars + 1, nvars + 2, nvars + 4
    cnf = CNF([c + [-y] for c in php] + [[-y, a], [-y, a + 1], [y, b], [y, b + 1]])
    c = distributed.local_client(2)
    try:
        r = distributed.cube_and_conquer(cnf, client=c, cubes=1)
        assert r.sat is True and -y in r.model and r.cubes == 2
        workers = [psutil.Process(pid) for pid in c.run(os.getpid).values()]
        deadline = time.monotonic() + 30
        while sum(w.cpu_percent(0.5) for w in workers) > 50:  # a search keeps its worker busy
            assert time.monotonic() < deadline, "the other side is still searched"
    finally:
        distributed.close_client(c)
