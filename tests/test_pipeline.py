"""The default pipeline (norvane.solve, norvane.pipeline.simplify) in each of its modes: answers against
brute force, models and proofs against the input formula, the deterministic mode against the single solver."""
import json
import lzma
import random

import pytest

import norvane
from conftest import brute_force_sat, pigeonhole, random_cnf
from conftest import dimacs_satisfies as satisfies
from norvane import CNF, Solver, check_proof, cli, preprocess
from norvane.cnf import to_dimacs
from norvane.pipeline import satisfies as model_check
from norvane.pipeline import simplify

EXAMPLES = norvane.__file__.rsplit("/", 1)[0] + "/examples/"
MODES = {"default": {}, "one job": {"jobs": 1}, "deterministic": {"deterministic": True},
         "three jobs, no preprocessing": {"jobs": 3, "preprocess": False}, "binary proof": {"proof_format": "binary"}}
# short clauses (models need reconstruction), and 3-literal ones near the threshold (refuted by search)
FORMULAS = [random_cnf(random.Random(seed), 8, random.Random(-seed).randint(5, 40), maxlen=3) for seed in range(15)]
FORMULAS += [random_cnf(random.Random(seed), 8, random.Random(-seed).randint(30, 60), minlen=3, maxlen=3)
             for seed in range(15, 30)]


@pytest.mark.parametrize("mode", MODES)
def test_answers_models_and_proofs(mode, tmp_path):
    proof = tmp_path / "p.drat"
    for internal in FORMULAS + [pigeonhole(4)[1]]:
        clauses = [to_dimacs(c) for c in internal]
        cnf = CNF(clauses, nvars=max(8, max((abs(d) for c in clauses for d in c), default=0)))
        r = norvane.solve(cnf, proof=proof, **MODES[mode])
        assert r.sat == brute_force_sat(cnf.nvars, internal) if cnf.nvars <= 8 else r.sat is False
        if r.sat:
            assert satisfies(clauses, r.model) and [abs(d) for d in r.model] == list(range(1, cnf.nvars + 1))
            assert r.proof is None and not proof.exists()
        else:
            assert r.proof == str(proof) and check_proof(cnf, proof).ok, (mode, clauses)
            proof.unlink()
        assert (r.preprocess is None) == (mode in ("deterministic", "three jobs, no preprocessing"))


def test_deterministic_is_the_single_solver(tmp_path):
    for name in ("queens8", "pigeons7"):
        cnf = CNF.from_file(EXAMPLES + name + ".cnf")
        r = norvane.solve(cnf, deterministic=True, proof=tmp_path / "a.drat", restart="glucose")
        with Solver(cnf, proof=tmp_path / "b.drat", restart="glucose") as s:
            assert s.solve() == r.sat and s.model == r.model and s.stats == r.stats
        if r.sat is False:
            assert (tmp_path / "a.drat").read_bytes() == (tmp_path / "b.drat").read_bytes()
        # the command's --jobs 1 --no-preprocess: the same counters as a plain Solver
        assert cli.main(["solve", EXAMPLES + name + ".cnf", "-q", "--jobs", "1", "--no-preprocess",
                         "--stats-json", str(tmp_path / "s.json")]) == (10 if r.sat else 20)
        with Solver(cnf) as s:
            s.solve()
            assert json.loads((tmp_path / "s.json").read_text())["search"] == s.stats
        runs = [norvane.solve(cnf, jobs=1) for _ in range(2)]
        assert runs[0][:6] == runs[1][:6] and runs[0].worker == 0 and runs[0].config == "default"


def test_refuted_by_preprocessing_alone_with_progress(tmp_path):
    cnf = CNF([[1, 2], [-1, 2], [1, -2], [-1, -2, 3], [-3, -2]])
    lines = []
    r = norvane.solve(cnf, proof=tmp_path / "p.drat", proof_format="binary", progress=lines.append)
    assert (r.sat, r.worker, r.config, r.stats) == (False, -1, None, {})
    assert check_proof(cnf, r.proof).ok
    assert lines[0].startswith("preprocess round 1: ") and lines[-1].startswith("unsatisfiable (preprocessing) after")
    lines.clear()
    assert norvane.solve(EXAMPLES + "queens8.cnf", jobs=2, progress=lines.append).sat
    assert lines[-2].startswith("search: default, glucose on ") and lines[-1].startswith("satisfiable (")


def test_formula_from_a_file_and_limits(tmp_path):
    path = tmp_path / "php.cnf.xz"
    with lzma.open(path, "wt") as f:
        CNF([to_dimacs(c) for c in pigeonhole(7)[1]]).write(f)
    proof = tmp_path / "p.drat"
    proof.write_text("kept\n")
    php11 = CNF([to_dimacs(c) for c in pigeonhole(11)[1]])
    for limits in ({"time_limit": 0}, {"conflict_limit": 5}, {"time_limit": 0.3, "jobs": 2}, {"time_limit": 0.3, "jobs": 1}):
        r = norvane.solve(path if "jobs" not in limits else php11, proof=proof, **limits)
        assert (r.sat, r.model, r.proof, r.worker) == (None, None, None, -1), limits
    assert proof.read_text() == "kept\n" and sorted(p.name for p in tmp_path.iterdir()) == ["p.drat", "php.cnf.xz"]
    assert norvane.solve(str(path), jobs=2).sat is False


@pytest.mark.parametrize("kw,error,message", [
    ({"jobs": 0}, ValueError, "jobs must be at least 1, not 0"),
    ({"time_limit": -1.0}, ValueError, "time_limit must be a finite number of at least 0, not -1.0"),
    ({"time_limit": float("nan")}, ValueError, "time_limit must be a finite number of at least 0, not nan"),
    ({"proof_format": "drat"}, ValueError, "proof_format must be 'text' or 'binary', not 'drat'"),
    ({"restarts": "luby"}, TypeError, "solve() got an unexpected keyword argument 'restarts'"),
    ({"jobs": 2.0}, TypeError, "jobs must be an int or None, not float"),
    ({"jobs": 2, "deterministic": True}, ValueError, "deterministic=True runs one solver: jobs must be 1 or None, not 2"),
    ({"progress": "stderr"}, TypeError, "progress must be callable or None, not str"),
])
def test_bad_arguments(kw, error, message):
    with pytest.raises(error) as e:
        norvane.solve([[1]], **kw)
    assert str(e.value) == message


def test_simplify_rounds_until_quiet(tmp_path):
    for internal in FORMULAS[:20]:
        cnf = CNF([to_dimacs(c) for c in internal], nvars=8)
        seen = []
        res = simplify(cnf, progress=lambda rounds, counters, elapsed: seen.append((rounds, dict(counters))))
        rounds = res.settings["rounds"]
        assert [r for r, _ in seen] == list(range(1, rounds + 1))
        # the last round changed nothing (below the threshold on a formula this small) or refuted it
        changes = [sum(c[k] for k in ("units", "subsumed", "strengthened", "eliminated_vars")) for _, c in seen]
        assert res.unsat or changes[-1] == (changes[-2] if rounds > 1 else 0)
        # the same reduction as that many rounds in one call, and a map that repeats it
        assert preprocess(cnf, rounds=rounds).cnf == res.cnf
        res.write_map(tmp_path / "m.map")
        assert norvane.load_map(tmp_path / "m.map").cnf == res.cnf
        assert simplify(cnf, max_rounds=1).settings["rounds"] == 1 == simplify(cnf, seconds=0).settings["rounds"]


def test_model_check_against_plain_evaluation():
    rng = random.Random(5)
    for internal in FORMULAS[:12] + [[[0, 2], []], [[1], [0]]]:
        cnf = CNF([to_dimacs(c) for c in internal], nvars=4)
        for _ in range(8):
            model = [v if rng.random() < 0.5 else -v for v in range(1, cnf.nvars + 1)]
            want = all(any(d in set(model) for d in to_dimacs(c)) for c in internal)
            assert model_check(cnf, model) == want, (internal, model)
