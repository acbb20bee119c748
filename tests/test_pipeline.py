"""norvane.solve in each mode: answers against brute force, models and proofs (with the preprocessor's steps)
against the input, deterministic runs against the single solver, the race won by the input or its reduction."""
import random

import pytest

from conftest import brute_force_sat, pigeonhole, pigeonhole_dimacs, php_file, random_3sat, random_cnf
from conftest import dimacs_satisfies as satisfies
from norvane import CNF, Solver, check_proof, cli, portfolio, solve, solve_portfolio
from norvane.cnf import to_dimacs
from norvane.pipeline import satisfies as model_check

EXAMPLES = cli.__file__.rsplit("/", 1)[0] + "/examples/"
MODES = {"default": {}, "one job": {"jobs": 1}, "deterministic": {"deterministic": True},
         "three jobs, no preprocessing": {"jobs": 3, "preprocess": False}, "binary proof": {"proof_format": "binary"}}
# short clauses (models need reconstruction), and 3-literal ones near the threshold (refuted by search)
FORMULAS = [random_cnf(random.Random(seed), 8, random.Random(-seed).randint(5, 40), maxlen=3) for seed in range(15)]
FORMULAS += [random_cnf(random.Random(seed), 8, random.Random(-seed).randint(30, 60), minlen=3, maxlen=3)
             for seed in range(15, 30)]
# after preprocessing, worker 0 searches the input and the others the reduced formula (all of them when it is
# less than half the input); the race is steered by how many of the 2 workers search the reduced formula
ROUTES = {"input": 0, "reduced": 2, "shrunk": None}
# 40 variables near the threshold: both answers, and preprocessing eliminates some but decides none
NEAR = [CNF([to_dimacs(c) for c in random_3sat(seed, 40)]) for seed in (0, 2, 3, 4, 9, 11, 13, 19)]


def padded(clauses):  # twice as many clauses again, each with a pure literal: preprocessing drops them
    n = max(abs(d) for c in clauses for d in c)
    return CNF(clauses + [[n + 1 + i, 1 + i % n, -(1 + 7 * i % n)] for i in range(2 * len(clauses))])


# preprocessing leaves less than half of these: every worker searches the reduced formula
SHRUNK = [padded(pigeonhole_dimacs(5)[1])] + [padded([to_dimacs(c) for c in random_3sat(s, 60, 3.8)]) for s in range(3)]


@pytest.mark.parametrize("mode", MODES)
def test_answers_models_and_proofs(mode, tmp_path):
    proof = tmp_path / "p.drat"
    for internal in FORMULAS + [pigeonhole(4)[1]]:
        clauses = [to_dimacs(c) for c in internal]
        cnf = CNF(clauses, nvars=max(8, max((abs(d) for c in clauses for d in c), default=0)))
        r = solve(cnf, proof=proof, **MODES[mode])
        assert r.sat == brute_force_sat(cnf.nvars, internal) if cnf.nvars <= 8 else r.sat is False
        if r.sat:
            assert satisfies(clauses, r.model) and [abs(d) for d in r.model] == list(range(1, cnf.nvars + 1))
            assert r.proof is None and not proof.exists()
        else:
            assert r.proof == str(proof) and check_proof(cnf, proof).ok, (mode, clauses)
            proof.unlink()
        assert (r.preprocess is None) == (mode in ("deterministic", "three jobs, no preprocessing"))
        rng = random.Random(len(clauses))
        probe = [v * rng.choice((1, -1)) for v in range(1, cnf.nvars + 1)]
        assert model_check(cnf, probe) == satisfies(clauses, probe)  # the pipeline's own check of its models
    assert not model_check(CNF([[1, 2], []]), [1, 2])


def test_deterministic_is_the_single_solver(tmp_path):
    for name in ("queens8", "pigeons7"):
        cnf = CNF.from_file(EXAMPLES + name + ".cnf")
        r = solve(cnf, deterministic=True, proof=tmp_path / "a.drat", restart="glucose")
        with Solver(cnf, proof=tmp_path / "b.drat", restart="glucose") as s:
            assert s.solve() == r.sat and s.model == r.model and s.stats == r.stats
        assert r.sat or (tmp_path / "a.drat").read_bytes() == (tmp_path / "b.drat").read_bytes()
        runs = [solve(cnf, jobs=1) for _ in range(2)]
        assert runs[0][:6] == runs[1][:6] and runs[0].worker == 0 and runs[0].config == "default"


def test_refuted_by_preprocessing_alone_with_progress(tmp_path):
    cnf = CNF([[1, 2], [-1, 2], [1, -2], [-1, -2, 3], [-3, -2]])
    lines = []
    r = solve(cnf, proof=tmp_path / "p.drat", proof_format="binary", progress=lines.append)
    assert (r.sat, r.worker, r.config, r.stats) == (False, -1, None, {}) and check_proof(cnf, r.proof).ok
    assert lines[0].startswith("preprocess round 1: ") and lines[-1].startswith("unsatisfiable (preprocessing) after")
    lines.clear()
    assert solve(EXAMPLES + "queens8.cnf", jobs=2, progress=lines.append).sat
    assert lines[-2].startswith("search: default, glucose on ") and lines[-1].startswith("satisfiable (")


def test_formula_from_a_file_and_limits(tmp_path):
    path, proof = php_file(tmp_path, 7), tmp_path / "p.drat"  # compressed files: test_package.py
    proof.write_text("kept\n")
    php11 = CNF([to_dimacs(c) for c in pigeonhole(11)[1]])
    for limits in ({"time_limit": 0}, {"conflict_limit": 5}, *({"time_limit": 0.3, "jobs": j} for j in (2, 1))):
        r = solve(path if "jobs" not in limits else php11, proof=proof, **limits)
        assert (r.sat, r.model, r.proof, r.worker) == (None, None, None, -1), limits
    assert proof.read_text() == "kept\n" and sorted(p.name for p in tmp_path.iterdir()) == ["p.drat", "php7.cnf"]


@pytest.mark.parametrize("route", ROUTES)
def test_either_formula_wins(route, tmp_path, capsys, monkeypatch):  # the package and the command, by turns
    real = portfolio._nn.solve_portfolio

    def steered(nvars, clauses, configs, **kw):
        assert (kw.get("alt") is None) == (route == "shrunk")
        if kw.get("alt") is not None:
            kw["alt_threads"] = ROUTES[route]
        return real(nvars, clauses, configs, **kw)

    monkeypatch.setattr(portfolio._nn, "solve_portfolio", steered)
    answers = set()
    for i, cnf in enumerate(SHRUNK if route == "shrunk" else NEAR):
        path, proof = tmp_path / f"f{i}.cnf", tmp_path / f"f{i}.drat"
        if i % 2:
            cnf.to_file(path)
            code = cli.main(["solve", str(path), "--jobs", "2", "--proof", str(proof)])
            sat, model = {10: True, 20: False}[code], [int(d) for line in capsys.readouterr().out.splitlines()
                                                       if line.startswith("v ") for d in line[2:].split()]
        else:
            r = solve(cnf, jobs=2, proof=proof)
            assert r.preprocess["eliminated_vars"] > 0
            sat, model = r.sat, r.model
        answers.add(sat)
        assert satisfies(cnf.clauses, [d for d in model if d]) if sat else check_proof(cnf, proof).ok
    assert answers == {True, False}


@pytest.mark.parametrize("call,error,message", [  # keyword arguments of solve([[1]]), or a call
    ({"jobs": 0}, ValueError, "jobs must be at least 1, not 0"),
    ({"time_limit": -1.0}, ValueError, "time_limit must be a finite number of at least 0, not -1.0"),
    ({"time_limit": float("nan")}, ValueError, "time_limit must be a finite number of at least 0, not nan"),
    ({"proof_format": "drat"}, ValueError, "proof_format must be 'text' or 'binary', not 'drat'"),
    ({"restarts": "luby"}, TypeError, "solve() got an unexpected keyword argument 'restarts'"),
    ({"jobs": 2.0}, TypeError, "jobs must be an int or None, not float"),
    ({"jobs": 2, "deterministic": True}, ValueError,
     "deterministic=True runs one solver: jobs must be 1 or None, not 2"),
    ({"progress": "stderr"}, TypeError, "progress must be callable or None, not str"),
    (lambda: Solver(restrat="luby"), TypeError, "Solver() got an unexpected keyword argument 'restrat'"),
    (lambda: solve_portfolio([[1]], [{"restrat": "luby"}]), TypeError,
     "solve_portfolio() worker got an unexpected keyword argument 'restrat'"),
    (lambda: CNF([[1]]).append([-2**31]), OverflowError, "literal -2147483648 is out of range"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as e:
        solve([[1]], **call) if isinstance(call, dict) else call()
    assert type(e.value) is error and str(e.value) == message
