"""ClauseDb: the native clause store."""
import pytest

import norvane_native as nn
from conftest import expect_notes, notes


def growth(n):
    """Capacity after n single appends under the max(4, 2*cap) rule."""
    cap = 0
    for size in range(n):
        if size == cap:
            cap = max(4, 2 * cap)
    return cap


def test_fresh_store():
    db = nn.ClauseDb()
    assert (db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes, len(db)) == (0, 0, 0, 0, 0)
    assert repr(db) == "<ClauseDb vars=0 clauses=0 lits=0 bytes=0>"
    assert nn.ClauseDb(10).num_vars == 10
    assert nn.ClauseDb(nvars=4294967295).num_vars == 4294967295


def test_one_clause():
    db = nn.ClauseDb()
    assert db.add_clause([2, 4, 6]) is True
    assert db.clause(0) == [2, 4, 6]
    assert (db.num_vars, db.num_lits, db.memory_bytes) == (4, 3, 48)
    assert repr(db) == "<ClauseDb vars=4 clauses=1 lits=3 bytes=48>"


def test_five_clauses_memory():
    db = nn.ClauseDb()
    for i in range(5):
        db.add_clause([6 * i, 6 * i + 2, 6 * i + 4])
    assert db.memory_bytes == 4 * (16 + 8 + 8) == 128


@pytest.mark.parametrize("lits,stored,result", [
    ([4, 2, 4, 2], [4, 2], True),
    ([], [], True),
    ([5, 5, 5], [5], True),
    ([10, 20, 11], None, False),
    ([1, 0], None, False),
])
def test_dedupe_and_tautology(lits, stored, result):
    db = nn.ClauseDb()
    assert db.add_clause(lits) is result
    if stored is None:
        assert len(db) == 0 and db.num_lits == 0
    else:
        assert db.clauses() == [stored]


def test_tautology_still_raises_num_vars():
    db = nn.ClauseDb()
    assert db.add_clause([10, 20, 11]) is False
    assert db.num_vars == 11 and db.num_lits == 0 and len(db) == 0
    assert db.memory_bytes == 4 * 4  # lits grew before the complementary pair was seen


def test_literal_limits():
    db = nn.ClauseDb()
    with pytest.raises(ValueError) as e:
        db.add_clause([2, 4294967295])
    assert str(e.value) == "literal out of range"
    assert (len(db), db.num_vars, db.memory_bytes) == (0, 0, 0)
    assert db.add_clause([4294967294])
    assert db.num_vars == 2147483648
    db2 = nn.ClauseDb()
    assert db2.add_dimacs([-2147483648]) is True
    assert db2.clause(0) == [4294967295] and db2.num_vars == 2147483648


def test_add_dimacs():
    db = nn.ClauseDb()
    assert db.add_dimacs([1, -2, 3]) is True
    assert db.clause(0) == [0, 3, 4]
    assert db.add_dimacs([1, -1]) is False
    with pytest.raises(ValueError) as e:
        db.add_dimacs([1, 0])
    assert str(e.value) == "0 is not a DIMACS literal (it terminates a clause)"
    with pytest.raises(TypeError) as e:
        db.add_dimacs([0, "x"])
    assert notes(e.value) == expect_notes(["while processing 'lits'"])
    with pytest.raises(OverflowError):
        db.add_dimacs([2 ** 31])
    assert db.clauses() == [[0, 3, 4]]


def test_clause_index_errors():
    db = nn.ClauseDb()
    db.add_clause([0])
    db.add_clause([2])
    with pytest.raises(ValueError) as e:
        db.clause(5)
    assert str(e.value) == "clause index 5 out of range (2 clauses)"
    with pytest.raises(OverflowError) as e:
        db.clause(-1)
    assert notes(e.value) == expect_notes(["while processing 'i'"])


def test_clauses_snapshot_independent_of_later_additions():
    db = nn.ClauseDb()
    db.add_clause([0, 2])
    snap = db.clauses()
    db.add_clause([4])
    assert snap == [[0, 2]] and db.clauses() == [[0, 2], [4]]


def test_memory_bytes_after_many_additions():
    db = nn.ClauseDb()
    for i in range(10_000):
        db.add_clause([2 * i, 2 * i + 3])
    assert db.num_lits == 20_000
    assert db.memory_bytes == 4 * (2 * growth(10_000) + growth(20_000))
