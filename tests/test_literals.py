"""Literal encoding: the six module functions and their 32-bit edges."""
import pytest
from hypothesis import given, strategies as st

import norvane_native as nn
from conftest import expect_notes, notes

U32 = st.integers(0, 2 ** 32 - 1)
I32_NONZERO = st.integers(-2 ** 31, 2 ** 31 - 1).filter(lambda d: d != 0)


@pytest.mark.parametrize("call,expected", [
    (lambda: nn.neg(0), 1), (lambda: nn.neg(1), 0), (lambda: nn.neg(4294967295), 4294967294),
    (lambda: nn.is_neg(0), False), (lambda: nn.is_neg(7), True),
    (lambda: nn.mk_lit(3), 6), (lambda: nn.mk_lit(3, True), 7), (lambda: nn.mk_lit(v=3, negated=True), 7),
    (lambda: nn.mk_lit(2147483647, True), 4294967295), (lambda: nn.mk_lit(2147483648), 0),
    (lambda: nn.mk_lit(2147483649, True), 3),
    (lambda: nn.var_of(7), 3), (lambda: nn.var_of(4294967295), 2147483647),
    (lambda: nn.to_dimacs(0), 1), (lambda: nn.to_dimacs(1), -1), (lambda: nn.to_dimacs(6), 4),
    (lambda: nn.to_dimacs(7), -4), (lambda: nn.to_dimacs(4294967293), -2147483647),
    (lambda: nn.to_dimacs(4294967294), -2147483648), (lambda: nn.to_dimacs(4294967295), -2147483648),
    (lambda: nn.from_dimacs(1), 0), (lambda: nn.from_dimacs(-1), 1), (lambda: nn.from_dimacs(4), 6),
    (lambda: nn.from_dimacs(-4), 7), (lambda: nn.from_dimacs(2147483647), 4294967292),
    (lambda: nn.from_dimacs(-2147483648), 4294967295),
    (lambda: nn.neg(True), 0),
])
def test_edge_values(call, expected):
    result = call()
    assert result == expected and type(result) is type(expected)


def test_from_dimacs_zero():
    with pytest.raises(ValueError) as e:
        nn.from_dimacs(0)
    assert str(e.value) == "0 is not a DIMACS literal (it terminates a clause)"
    assert not getattr(e.value, "__notes__", None)


@pytest.mark.parametrize("call,note", [
    (lambda: nn.from_dimacs(2147483648), "d"), (lambda: nn.neg(-1), "l"), (lambda: nn.mk_lit(-1), "v"),
    (lambda: nn.to_dimacs(2 ** 32), "l"), (lambda: nn.var_of(-5), "l"), (lambda: nn.is_neg(2 ** 40), "l"),
])
def test_out_of_range(call, note):
    with pytest.raises(OverflowError) as e:
        call()
    assert str(e.value) == "out of range integral type conversion attempted"
    assert notes(e.value) == expect_notes([f"while processing '{note}'"])


@given(U32)
def test_internal_round_trip(l):
    assert nn.neg(nn.neg(l)) == l
    assert nn.var_of(l) == l >> 1 and nn.is_neg(l) == bool(l & 1)
    assert nn.mk_lit(nn.var_of(l), nn.is_neg(l)) == l
    d = nn.to_dimacs(l)
    if l < 4294967294:
        assert nn.from_dimacs(d) == l
        assert d == ((l >> 1) + 1) * (-1 if l & 1 else 1)
    else:
        assert d == -2147483648


@given(I32_NONZERO)
def test_dimacs_round_trip(d):
    l = nn.from_dimacs(d)
    assert nn.to_dimacs(l) == d
    assert l == 2 * (abs(d) - 1) + (d < 0)


@given(st.integers(0, 2 ** 32 - 1), st.booleans())
def test_mk_lit_keeps_32_bits(v, negated):
    assert nn.mk_lit(v, negated) == ((v << 1) | negated) & 0xFFFFFFFF
