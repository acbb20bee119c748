"""Cube and conquer without a cluster (norvane.cubes): split trees closed by the cores of their cubes,
refuted in any order, give one accepted proof; the proof filter keeps exactly a part's own deletions."""
import collections
import io
import random

import pytest

from norvane import CNF, Solver, _native, check_proof
from norvane.cubes import Split, longest_encoding, own_deletions_only

from conftest import dimacs_models, dimacs_satisfies, pigeonhole_dimacs, random_formula


def encoded(steps, binary):
    out = io.BytesIO()
    _native.write_steps(out, [(False, c) for c in steps], binary)
    return out.getvalue()


CASES = [(seed, random_formula(random.Random(seed), 12, random.Random(-seed).randint(45, 70), minlen=3))
         for seed in range(16)]


@pytest.mark.parametrize("seed,clauses", CASES)
def test_split_conquer_and_prove(tmp_path, seed, clauses):
    # the open cubes refuted in a random order, each by a solver of its own: a model, or one proof
    rng, cnf, part = random.Random(seed), CNF(clauses, nvars=12), tmp_path / "part.drat"
    fmt = rng.choice(["text", "binary"])
    binary, longest = fmt == "binary", longest_encoding(cnf, fmt == "binary")
    with Solver(cnf, proof=part, proof_format=fmt) as s:
        s.solve(conflict_limit=rng.choice([0, 3]))  # learned clauses sharpen the lookahead
        if rng.random() < 0.5:
            tree = Split.build(cnf, s.propagate, depth=rng.randint(1, 4), candidates=rng.choice([1, 4, 32]))
        else:  # branching on given variables, some of them never needed
            tree = Split.fixed(rng.sample(range(1, 15), rng.randint(1, 4)))
    proof = [own_deletions_only(part.read_bytes(), binary, longest), encoded(tree.head_steps(), binary)]
    order = list(range(len(tree.cubes)))
    rng.shuffle(order)
    for i in (i for i in order if tree.is_open(i) and not tree.done):
        with Solver(cnf, proof=part, proof_format=fmt) as s:
            if s.solve(tree.cubes[i].cube):
                assert dimacs_satisfies(clauses, s.model)
                return
            assert set(s.core) <= set(tree.cubes[i].cube)
            tree.refute(i, s.core)
        proof.append(own_deletions_only(part.read_bytes(), binary, longest))
    # every cube refuted only if the formula is unsatisfiable; every leaf is a cube, a leaf refuted while
    # splitting, or under a closed node
    assert tree.done and not dimacs_models(12, clauses) and tree.needed() <= tree.refuted
    assert len(tree.refuted) + len(tree.pruned) <= len(tree.cubes)
    part.write_bytes(b"".join(proof) + encoded(tree.tail_steps(), binary))
    assert check_proof(cnf, part).ok, seed


def test_cores_prune_and_propagation_refutes():
    # a core that uses the first branching literal only closes the first level's node (and end to end:
    # test_distributed.py, case "pruned")
    tree = Split.fixed([1, 2])
    assert tree.refute(0, [1]) == [1] and tree.pruned == {1} and not tree.done
    assert tree.refute(2, [-1, 2]) == [] and not tree.done
    assert tree.refute(3, [-2]) == [] and tree.done  # both children of node (-1) are closed
    assert tree.tail_steps() == [[1], []] and tree.needed() == {0, 2, 3}
    with pytest.raises(ValueError, match="not part of cube"):
        Split.fixed([1]).refute(0, [2])
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
