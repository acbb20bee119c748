"""After preprocessing, the pipeline's worker 0 searches the input and the others the reduced
formula, or all of them the reduced one when preprocessing more than halved it; whichever wins,
the model must satisfy the input and the proof refute it.  The race is steered by moving every
worker onto one of the two formulas."""
import pytest

from conftest import clause_db, dimacs_satisfies, pigeonhole, pigeonhole_dimacs, random_3sat
from norvane import CNF, SOLVER_DEFAULTS, check_proof, cli, portfolio
from norvane.cnf import to_dimacs
from norvane.pipeline import solve

ROUTES = {"input": 0, "reduced": 2, "shrunk": None}  # workers on the reduced formula, out of 2


@pytest.fixture(params=ROUTES)
def route(request, monkeypatch):
    real = portfolio._nn.solve_portfolio

    def steered(nvars, clauses, configs, **kw):
        assert (kw.get("alt") is None) == (request.param == "shrunk")
        if kw.get("alt") is not None:
            kw["alt_threads"] = ROUTES[request.param]
        return real(nvars, clauses, configs, **kw)

    monkeypatch.setattr(portfolio._nn, "solve_portfolio", steered)
    return request.param


# 40 variables near the threshold: both answers, and preprocessing eliminates some but decides none
FORMULAS = [CNF([to_dimacs(c) for c in random_3sat(seed, 40)]) for seed in (0, 2, 3, 4, 9, 11, 13, 19)]


def padded(clauses):  # twice as many clauses again, each with a pure literal: preprocessing drops them
    n = max(abs(d) for c in clauses for d in c)
    return CNF(clauses + [[n + 1 + i, 1 + i % n, -(1 + 7 * i % n)] for i in range(2 * len(clauses))])


SHRUNK = [padded(pigeonhole_dimacs(5)[1])] + [padded([to_dimacs(c) for c in random_3sat(s, 60, 3.8)]) for s in range(3)]


def test_package(route, tmp_path):
    proof = tmp_path / "p.drat"
    answers = set()
    for cnf in SHRUNK if route == "shrunk" else FORMULAS:
        r = solve(cnf, jobs=2, proof=proof)
        assert r.preprocess["eliminated_vars"] > 0
        answers.add(r.sat)
        if r.sat:
            assert dimacs_satisfies(cnf.clauses, r.model)
        else:
            assert check_proof(cnf, proof).ok
    assert answers == {True, False}


def test_command(route, tmp_path, capsys):
    for i, cnf in enumerate(SHRUNK if route == "shrunk" else FORMULAS):
        path, proof = tmp_path / f"f{i}.cnf", tmp_path / f"f{i}.drat"
        cnf.to_file(path)
        code = cli.main(["solve", str(path), "--jobs", "2", "--proof", str(proof), "--check"])
        out = capsys.readouterr().out
        if code == 10:
            model = [int(d) for line in out.splitlines() if line.startswith("v ") for d in line[2:].split()]
            assert dimacs_satisfies(cnf.clauses, [d for d in model if d])
        else:
            assert code == 20 and "every step verified" in out


def test_portfolio_reads_a_clause_store_as_its_clause_lists():
    nvars, clauses = pigeonhole(5)
    db, cfgs = clause_db(clauses), [dict(SOLVER_DEFAULTS), dict(SOLVER_DEFAULTS, restart="glucose")]
    lists = portfolio._nn.solve_portfolio(nvars, clauses, cfgs[:1], want_proof=True)
    assert portfolio._nn.solve_portfolio(nvars, db, cfgs[:1], want_proof=True) == lists
    # the alternative formula too: both workers search it
    alt = portfolio._nn.solve_portfolio(nvars, [[0]], cfgs, alt=db, alt_threads=2, want_proof=True)
    assert alt[1:3] == (1, False)
