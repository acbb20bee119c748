"""The norvane package against brute force: files, assumptions, cores, models, preprocessing and its map, a
portfolio, cubes refuted in any order under one proof (norvane.cubes)."""
import bz2
import collections
import gzip
import io
import lzma
import random
import threading

import pytest

import norvane_native as nn
from norvane import CNF, SOLVER_DEFAULTS, Solver, _native, check_proof, load_map, preprocess, solve_portfolio
from norvane.cubes import Split, longest_encoding, own_deletions_only
from norvane.pipeline import simplify

from conftest import clause_db, pigeonhole, pigeonhole_dimacs, random_formula
from conftest import dimacs_models as models
from conftest import dimacs_satisfies as satisfies


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


@pytest.mark.parametrize("seed", range(25))
def test_assumptions_cores_and_models(seed):
    # short formulas, and 3-literal ones near the threshold (unsatisfiable ones need real search)
    low, high, minlen = (5, 40, 1) if seed < 20 else (30, 60, 3)
    clauses = random_formula(random.Random(seed), 8, random.Random(-seed).randint(low, high), minlen=minlen)
    s, rng = Solver(clauses), random.Random(seed)
    for _ in range(4):
        assumptions = [rng.choice((1, -1)) * v for v in rng.sample(range(1, 9), rng.randint(1, 4))]
        answer = s.solve(assumptions)
        assert answer == bool(models(8, clauses, assumptions))
        if answer:
            assert set(assumptions) <= set(s.model) and satisfies(clauses, s.model)
        elif s.ok:
            assert set(s.core) <= set(assumptions) and not models(8, clauses, s.core)
            assert s.core == [a for a in assumptions if a in s.core]  # in the order given
    every, over = models(CNF(clauses).nvars, clauses), [1, 2, 3]  # a model repeated would show, not loop
    assert sorted(map(sorted, Solver(clauses).enum_models(limit=len(every) + 1))) == sorted(map(sorted, every))
    projected = list(Solver(clauses).enum_models(over=over, limit=len(every) + 1))
    assert len(projected) == len({frozenset(l for l in m if abs(l) in over) for m in every})
    assert len(list(Solver(clauses).enum_models(limit=2))) == min(2, len(every))


@pytest.mark.parametrize("seed", range(60))
def test_simplify_reconstruct_and_map(seed, tmp_path):
    # rounds until one changes nothing (on so small a formula) or refutes it: as many rounds at once agree
    rng = random.Random(seed)
    clauses = random_formula(rng, 9, rng.randint(5, 45))
    freeze, seen = rng.sample(range(1, 10), 2), []
    res = simplify(clauses, freeze=freeze, progress=lambda rounds, c, _: seen.append(
        (rounds, sum(c[k] for k in ("units", "subsumed", "strengthened", "eliminated_vars")))))
    rounds = res.settings["rounds"]
    assert [r for r, _ in seen] == list(range(1, rounds + 1))
    assert res.unsat or seen[-1][1] == (seen[-2][1] if rounds > 1 else 0)
    assert preprocess(clauses, freeze=freeze, rounds=rounds).cnf == res.cnf
    s = Solver(res.cnf)
    assert s.solve() is bool(models(9, clauses)) and not (res.unsat and s.model is not None)
    if s.model is not None:
        full = res.reconstruct(s.model)
        assert satisfies(clauses, full) and len(full) == CNF(clauses).nvars
        # frozen variables keep their values, unless the preprocessor fixed them
        kept = {abs(l) for c in res.cnf for l in c} & set(freeze)
        assert {l for l in full if abs(l) in kept} == {l for l in s.model if abs(l) in kept}
    res.write_map(tmp_path / "m.map")
    again = load_map(tmp_path / "m.map")
    assert again.cnf == res.cnf and again.original == res.original
    if seed == 0:  # a map whose settings give another reduction is refused
        assert [simplify(clauses, **kw).settings["rounds"] for kw in ({"max_rounds": 1}, {"seconds": 0})] == [1, 1]
        preprocess([[1, 2], [-1, 3]], freeze=[2, 3]).write_map(tmp_path / "m.map")  # x1 is eliminated...
        text = gzip.decompress((tmp_path / "m.map").read_bytes()).replace(b'"do_bve": true', b'"do_bve": false')
        (tmp_path / "m.map").write_bytes(gzip.compress(text))  # ...but not without elimination
        with pytest.raises(ValueError, match="reduces the formula differently"):
            load_map(tmp_path / "m.map")


def test_portfolio(tmp_path):  # the pipeline's race against brute force, and with limits: test_pipeline.py
    clauses = pigeonhole_dimacs(5)[1]
    res = solve_portfolio(clauses, [{}, {"restart": "glucose", "ccmin": "basic"}], proof=tmp_path / "p.drat")
    assert res.sat is False and 0 <= res.worker < 2 and res.configs[1]["restart"] == "glucose"
    assert res.model is None and check_proof(CNF(clauses), res.proof).ok
    # the engine's race reads a clause store as the alternative formula too (as its input: test_pipeline.py)
    nvars, internal = pigeonhole(5)
    race = nn.solve_portfolio(nvars, [[0]], [dict(SOLVER_DEFAULTS)] * 2, alt=clause_db(internal), alt_threads=2)
    assert race[1:3] == (1, False)


def test_interrupt_from_another_thread():
    s = Solver(pigeonhole_dimacs(10)[1])
    threading.Timer(0.3, s.interrupt).start()
    assert s.solve() is None and s.solve(conflict_limit=10) is None  # usable afterwards


@pytest.mark.parametrize("seed", range(16))
def test_split_conquer_and_prove(tmp_path, seed):
    # the open cubes refuted in a random order, each by a solver of its own: a model, or one proof
    clauses = random_formula(random.Random(seed), 12, random.Random(-seed).randint(45, 70), minlen=3)
    rng, cnf, part, proof = random.Random(seed), CNF(clauses, nvars=12), tmp_path / "part.drat", io.BytesIO()
    fmt = rng.choice(["text", "binary"])
    binary, longest = fmt == "binary", longest_encoding(cnf, fmt == "binary")
    with Solver(cnf, proof=part, proof_format=fmt) as s:
        s.solve(conflict_limit=rng.choice([0, 3]))  # learned clauses sharpen the lookahead
        if rng.random() < 0.5:
            tree = Split.build(cnf, s.propagate, depth=rng.randint(1, 4), candidates=rng.choice([1, 4, 32]))
        else:  # branching on given variables, some of them never needed
            tree = Split.fixed(rng.sample(range(1, 15), rng.randint(1, 4)))
    proof.write(own_deletions_only(part.read_bytes(), binary, longest))
    _native.write_steps(proof, [(False, c) for c in tree.head_steps()], binary)
    order = list(range(len(tree.cubes)))
    rng.shuffle(order)
    for i in (i for i in order if tree.is_open(i) and not tree.done):
        with Solver(cnf, proof=part, proof_format=fmt) as s:
            if s.solve(tree.cubes[i].cube):
                assert satisfies(clauses, s.model)
                return
            assert set(s.core) <= set(tree.cubes[i].cube)
            tree.refute(i, s.core)
        proof.write(own_deletions_only(part.read_bytes(), binary, longest))
    # all cubes refuted only if unsatisfiable; every leaf is a cube, refuted while splitting, or under a closed node
    assert tree.done and not models(12, clauses) and tree.needed() <= tree.refuted
    assert len(tree.refuted) + len(tree.pruned) <= len(tree.cubes)
    _native.write_steps(proof, [(False, c) for c in tree.tail_steps()], binary)
    part.write_bytes(proof.getvalue())
    assert check_proof(cnf, part).ok, seed


def test_cores_prune_and_propagation_refutes():
    # a core using only the first branching literal closes the first level's node (end to end: test_distributed.py)
    tree = Split.fixed([1, 2])
    assert tree.refute(0, [1]) == [1] and tree.pruned == {1} and not tree.done
    assert tree.refute(2, [-1, 2]) == [] and not tree.done
    assert tree.refute(3, [-2]) == [] and tree.done  # both children of node (-1) are closed
    assert tree.tail_steps() == [[1], []] and tree.needed() == {0, 2, 3}
    with pytest.raises(ValueError, match="not part of cube"):
        Split.fixed([1]).refute(0, [2])
    s = Solver([[-1, 2], [-2, 3], [-3, -4]])  # propagation: the implied literals in order, and no trace left
    assert s.propagate([1]) == (True, [1, 2, 3, -4]) and not s.propagate([1, 4])[0] and s.solve() is True
    # leaves refuted by the lookahead while splitting: x1 here, every leaf of an unsatisfiable formula there
    cnf = CNF([[-1, 2], [-1, -2], [3, 4, 5], [-3, 4], [3, -4, 5], [-5, -4, 3]])
    tree = Split.build(cnf, Solver(cnf).propagate, depth=2)
    assert tree.by_propagation[0].cube == [1] and all(c.cube[0] == -1 for c in tree.cubes)
    unsat = CNF([[1, 2], [1, -2], [-1, 3], [-1, -3]])
    tree = Split.build(unsat, Solver(unsat).propagate, depth=3)
    assert tree.done and not tree.cubes and tree.tail_steps() == [[]]
    assert check_proof(unsat, [(False, c) for c in tree.head_steps() + tree.tail_steps()]).ok


@pytest.mark.parametrize("fmt", ["text", "binary"])
def test_filter_keeps_only_deletions_of_own_clauses(tmp_path, fmt):
    # the solver deletes learned clauses and input clauses it satisfies: the latter go (the length
    # shortcut changes nothing), every addition stays, and what is left deletes only clauses added before
    binary, php = fmt == "binary", CNF(pigeonhole_dimacs(6)[1])
    with Solver(php, proof=tmp_path / "q", proof_format=fmt, first_reduce=100, reduce_inc=50) as s:
        assert s.solve([5, -6]) is False
    raw = (tmp_path / "q").read_bytes()
    exact = own_deletions_only(raw, binary, 1 << 30)
    assert own_deletions_only(raw, binary, longest_encoding(php, binary)) == exact
    raw, exact = _native.parse_drat(raw, "q"), _native.parse_drat(exact, "q")
    assert [s for s in raw if not s[0]] == [s for s in exact if not s[0]]
    assert sum(d for d, _ in raw) > sum(d for d, _ in exact) > 20
    live = collections.Counter()
    for deletion, lits in exact:
        live[tuple(sorted(lits))] += -1 if deletion else 1
        assert live[tuple(sorted(lits))] >= 0
