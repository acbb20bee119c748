"""The norvane package: read a file, solve under assumptions, take a core, enumerate models, prove and
check, preprocess and reconstruct, race a portfolio -- each against brute force on random formulas."""
import bz2
import gzip
import lzma
import random
import threading

import pytest

import norvane
import norvane_native as nn
from norvane import CNF, SOLVER_DEFAULTS, Solver, check_proof, preprocess, solve_portfolio
from norvane.pipeline import simplify

from conftest import clause_db, pigeonhole, pigeonhole_dimacs, random_formula
from conftest import dimacs_models as models
from conftest import dimacs_satisfies as satisfies

# short formulas, and 3-literal ones near the threshold (unsatisfiable ones need real search)
FORMULAS = [(seed, random_formula(random.Random(seed), 8, random.Random(-seed).randint(5, 40))) for seed in range(20)]
FORMULAS += [(seed, random_formula(random.Random(seed), 8, random.Random(-seed).randint(30, 60), minlen=3))
             for seed in range(20, 40)]


def test_cnf_files_and_shapes(tmp_path):
    cnf = CNF([[1, -2], [2, 3, 3], [4, -4]], nvars=6)  # duplicate kept once, tautology dropped
    cnf.append((-5,))
    cnf.extend([[6], []])
    with pytest.raises(ValueError, match=r"^0 is not a DIMACS literal \(it terminates a clause\)$"):
        cnf.append([1, 0])  # and nothing is half added
    assert cnf.clauses == [[1, -2], [2, 3], [-5], [6], []] == list(cnf) and (len(cnf), cnf.nvars) == (5, 6)
    plain = tmp_path / "f.cnf"
    cnf.to_file(plain)
    assert CNF.from_file(plain) == cnf
    for compress, suffix in [(gzip.compress, ".gz"), (lzma.compress, ".xz"), (bz2.compress, ".bz2")]:
        (tmp_path / ("f.cnf" + suffix)).write_bytes(compress(plain.read_bytes()))
        assert CNF.from_file(tmp_path / ("f.cnf" + suffix)) == cnf


@pytest.mark.parametrize("seed,clauses", FORMULAS[:25])
def test_assumptions_cores_and_models(seed, clauses):
    s, rng = Solver(clauses), random.Random(seed)
    for _ in range(4):
        assumptions = [rng.choice((1, -1)) * v for v in rng.sample(range(1, 9), rng.randint(1, 4))]
        answer = s.solve(assumptions)
        assert answer == bool(models(8, clauses, assumptions))
        if answer:
            assert set(assumptions) <= set(s.model) and satisfies(clauses, s.model)
        elif s.ok:
            core = s.core
            assert set(core) <= set(assumptions) and not models(8, clauses, core)
            assert core == [a for a in assumptions if a in core]  # in the order given
    every, over = models(CNF(clauses).nvars, clauses), [1, 2, 3]  # a model repeated would show, not loop
    assert sorted(map(sorted, Solver(clauses).enum_models(limit=len(every) + 1))) == sorted(map(sorted, every))
    projected = list(Solver(clauses).enum_models(over=over, limit=len(every) + 1))
    assert len(projected) == len({frozenset(l for l in m if abs(l) in over) for m in every})
    assert len(list(Solver(clauses).enum_models(limit=2))) == min(2, len(every))


def test_propagate():
    s = Solver([[-1, 2], [-2, 3], [-3, -4]])
    assert s.propagate([1]) == (True, [1, 2, 3, -4]) and not s.propagate([1, 4])[0] and s.solve() is True


@pytest.mark.parametrize("seed", range(60))
def test_simplify_reconstruct_and_map(seed, tmp_path):
    # rounds until a round changes nothing (below the threshold on a formula this small) or refutes it:
    # the same reduction as that many rounds at once
    rng = random.Random(seed)
    clauses = random_formula(rng, 9, rng.randint(5, 45))
    freeze, proof, seen = rng.sample(range(1, 10), 2), tmp_path / "pre.drat", []
    res = simplify(clauses, freeze=freeze, proof=proof, progress=lambda rounds, c, _: seen.append(
        (rounds, sum(c[k] for k in ("units", "subsumed", "strengthened", "eliminated_vars")))))
    rounds = res.settings["rounds"]
    assert [r for r, _ in seen] == list(range(1, rounds + 1))
    assert res.unsat or seen[-1][1] == (seen[-2][1] if rounds > 1 else 0)
    assert preprocess(clauses, freeze=freeze, rounds=rounds).cnf == res.cnf
    with Solver(res.cnf, proof=tmp_path / "s.drat") as s:
        answer = s.solve()
    assert answer == bool(models(9, clauses)) and not (res.unsat and answer)
    if answer:
        full = res.reconstruct(s.model)
        assert satisfies(clauses, full) and len(full) == CNF(clauses).nvars
        # frozen variables keep their values, unless the preprocessor fixed them
        kept = {abs(l) for c in res.cnf for l in c} & set(freeze)
        assert {l for l in full if abs(l) in kept} == {l for l in s.model if abs(l) in kept}
    else:
        with open(proof, "ab") as f:  # the preprocessor's steps, then the solver's
            f.write((tmp_path / "s.drat").read_bytes())
        assert check_proof(CNF(clauses), proof).ok
    res.write_map(tmp_path / "m.map")
    again = norvane.load_map(tmp_path / "m.map")
    assert again.cnf == res.cnf and again.original == res.original
    if seed == 0:  # a map whose settings give another reduction is refused
        assert [simplify(clauses, **kw).settings["rounds"] for kw in ({"max_rounds": 1}, {"seconds": 0})] == [1, 1]
        preprocess([[1, 2], [-1, 3]], freeze=[2, 3]).write_map(tmp_path / "m.map")  # x1 is eliminated...
        text = gzip.decompress((tmp_path / "m.map").read_bytes()).replace(b'"do_bve": true', b'"do_bve": false')
        (tmp_path / "m.map").write_bytes(gzip.compress(text))  # ...but not without elimination
        with pytest.raises(ValueError, match="reduces the formula differently"):
            norvane.load_map(tmp_path / "m.map")


def test_portfolio(tmp_path):  # the pipeline's race against brute force: test_pipeline.py
    clauses = pigeonhole_dimacs(5)[1]
    res = solve_portfolio(clauses, [{}, {"restart": "glucose", "ccmin": "basic"}], proof=tmp_path / "p.drat")
    assert res.sat is False and 0 <= res.worker < 2 and res.configs[1]["restart"] == "glucose"
    assert res.model is None and check_proof(CNF(clauses), res.proof).ok
    res = solve_portfolio(pigeonhole_dimacs(9)[1], 2, conflict_limit=100)
    assert res.worker == -1 and res.sat is None and res.model is None
    # the engine's race reads a clause store as its clause lists, for the input and the alternative formula
    nvars, internal = pigeonhole(5)
    db, cfgs = clause_db(internal), [dict(SOLVER_DEFAULTS), dict(SOLVER_DEFAULTS, restart="glucose")]
    lists = nn.solve_portfolio(nvars, internal, cfgs[:1], want_proof=True)
    assert nn.solve_portfolio(nvars, db, cfgs[:1], want_proof=True) == lists
    assert nn.solve_portfolio(nvars, [[0]], cfgs, alt=db, alt_threads=2, want_proof=True)[1:3] == (1, False)


def test_interrupt_from_another_thread():
    s = Solver(pigeonhole_dimacs(10)[1])
    threading.Timer(0.3, s.interrupt).start()
    assert s.solve() is None and s.solve(conflict_limit=10) is None  # usable afterwards
