"""check_proof: verdicts and counters (native and model), argument forms, bad input, malformed DRAT bytes,
store compaction, the interpreter lock.  Random and corrupted proofs, also as DRAT bytes:
test_check_proof_reference.py; Ctrl-C: test_interrupt.py; benchmark proofs: test_proof_file.py."""
import array
import random
from collections import namedtuple

import pytest

import norvane_native as nn
from conftest import (MSG_NO_EMPTY, MSG_OK, assert_lock_released, clause_db, drat_binary, pigeonhole, raises, solver,
                      to_steps)
from reference.checker_model import MSG_NO_RAT as MSG_NOT_RUP
from reference.checker_model import MSG_NOT_RAT, MSG_REFUTED, ref_check_proof

REFUTED = (True, MSG_REFUTED, 0, 0, 0, 0, 0, 0, -1, True)

# (x0 | x1) (x0 | -x1) (-x0 | x1) (-x0 | -x1): unsatisfiable, not refuted by unit propagation.
SQUARE = [[0, 2], [0, 3], [1, 2], [1, 3]]
A, D = False, True  # step flags: addition, deletion
BIG = 10**4
BIG_SQUARE = [[BIG + a, BIG + b] for a, b in [(0, 2), (0, 3), (1, 2), (1, 3)]]


def result(ok, message, steps=0, rup=0, rat=0, deleted=0, skipped=0, rat_checks=0, failed=-1, empty=None):
    return (ok, message, steps, rup, rat, deleted, skipped, rat_checks, failed, ok if empty is None else empty)


CASES = {
    "empty-input-clause": (2, [[0, 2], []], [(A, [5]), (D, [])], {}, REFUTED),
    "complementary-units": (1, [[0], [1]], [(A, [0])], {}, REFUTED),
    "units-propagate-to-conflict": (2, [[0], [1, 2], [3]], [], {}, REFUTED),
    "refuted-whatever-the-options": (1, [[0], [1]], [(A, [2])], dict(check_rat=False, apply_deletions=False),
                                     REFUTED),
    "square-refutation": (2, SQUARE, [(A, [2]), (A, [])], {}, result(True, MSG_OK, 2, 2)),
    "square-no-empty-clause": (2, SQUARE, [(A, [2])], {}, result(False, MSG_NO_EMPTY, 1, 1)),
    "no-steps": (2, SQUARE, [], {}, result(False, MSG_NO_EMPTY)),
    "nothing-after-empty-clause": (2, SQUARE, [(A, [2]), (A, []), (A, [8]), (D, []), (A, [])], {},
                                   result(True, MSG_OK, 2, 2)),
    "tautology-is-rup": (2, SQUARE, [(A, [4, 5]), (A, [2]), (A, [])], {}, result(True, MSG_OK, 3, 3)),
    "not-rup-without-rat": (2, SQUARE, [(A, [4]), (A, [2]), (A, [])], dict(check_rat=False),
                            result(False, MSG_NOT_RUP, 1, failed=1)),
    "empty-clause-not-rup": (1, [[0, 2]], [(A, [])], {}, result(False, MSG_NOT_RAT, 1, failed=1)),
    # inconsistent after two lemmas, but only the empty clause ends the proof
    "inconsistent-is-not-empty": (2, SQUARE, [(A, [2]), (A, [3])], {}, result(False, MSG_NO_EMPTY, 2, 2)),
    # deletion of [0, 2] is carried out, so [2] is neither RUP nor RAT at step 4
    "deleted-clause-is-gone": (2, SQUARE, [(A, [2, 4]), (D, [0, 2]), (A, [6]), (A, [2]), (A, [])], {},
                               result(False, MSG_NOT_RAT, 4, 1, 1, 1, 0, 1, 4)),
    "deletions-ignored": (2, SQUARE, [(A, [2, 4]), (D, [0, 2]), (A, [6]), (A, [2]), (A, [])],
                          dict(apply_deletions=False), result(True, MSG_OK, 5, 3, 1)),
    "needed-clause-deleted-first": (2, SQUARE, [(D, [0, 2]), (A, [2]), (A, [])], {},
                                    result(False, MSG_NOT_RAT, 2, 0, 0, 1, 0, 1, 2)),
    "rat-resolvent-not-rup": (2, [[1, 2]], [(A, [0])], {}, result(False, MSG_NOT_RAT, 1, rat_checks=1, failed=1)),
    "rat-without-candidates": (3, [[2, 4]], [(A, [0])], {}, result(False, MSG_NO_EMPTY, 1, rat=1)),
    "rat-tautological-resolvent-passed-over": (2, [[1, 3]], [(A, [0, 2])], {},
                                               result(False, MSG_NO_EMPTY, 1, rat=1)),
    "rat-resolvent-rup": (3, [[1, 2], [2, 4], [2, 5]], [(A, [0])], {},
                          result(False, MSG_NO_EMPTY, 1, rat=1, rat_checks=1)),
    # candidates in order: the failing one is counted, later ones are not reached
    "rat-stops-at-first-failing-candidate": (4, [[2], [1, 2], [1, 4], [1, 6]], [(A, [0])], {},
                                             result(False, MSG_NOT_RAT, 1, rat_checks=2, failed=1)),
    # RAT is tried on the first literal only: [x0, x3] is RAT on x0, [x3, x0] is not RAT on x3
    "rat-on-first-literal": (5, [[1, 2], [2, 4], [2, 5], [7, 8]], [(A, [0, 6])], {},
                             result(False, MSG_NO_EMPTY, 1, rat=1, rat_checks=1)),
    "rat-not-on-second-literal": (5, [[1, 2], [2, 4], [2, 5], [7, 8]], [(A, [6, 0])], {},
                                  result(False, MSG_NOT_RAT, 1, rat_checks=1, failed=1)),
    # a clause holding a literal twice is a RAT candidate twice
    "repeated-literal-candidate-twice": (3, [[1, 1, 2], [2, 4], [2, 5]], [(A, [0])], {},
                                         result(False, MSG_NO_EMPTY, 1, rat=1, rat_checks=2)),
    "unit-and-empty-deletions-skipped": (2, SQUARE, [(D, [5]), (D, []), (D, [0])], {},
                                         result(False, MSG_NO_EMPTY, 3, skipped=3)),
    "unit-deletion-skipped-without-deletions": (2, SQUARE, [(D, [5]), (D, [2, 4])], dict(apply_deletions=False),
                                                result(False, MSG_NO_EMPTY, 2, skipped=1)),
    "absent-clause-deletion-skipped": (2, SQUARE, [(D, [0, 4]), (D, [0, 1]), (D, [9, 9, 9])], {},
                                       result(False, MSG_NO_EMPTY, 3, skipped=3)),
    "duplicate-clauses-deleted-one-by-one": (3, [[2, 4], [4, 2, 2]], [(D, [4, 2]), (D, [2, 4, 4]), (D, [2, 4])], {},
                                             result(False, MSG_NO_EMPTY, 3, deleted=2, skipped=1)),
    "lemma-then-its-deletion": (2, SQUARE, [(A, [2, 6]), (D, [6, 2]), (D, [6, 2])], {},
                                result(False, MSG_NO_EMPTY, 3, rup=1, deleted=1, skipped=1)),
    "satisfied-clause-deleted": (2, [[0], [0, 2], [1, 2, 4]], [(D, [0, 2]), (D, [1, 2, 4])], {},
                                 result(False, MSG_NO_EMPTY, 2, deleted=2)),
    "clause-with-two-true-literals-deleted": (2, [[0], [2], [0, 2]], [(D, [0, 2])], {},
                                              result(False, MSG_NO_EMPTY, 1, deleted=1)),
    "failing-step-keeps-counters": (3, SQUARE, [(A, [2, 4]), (D, [0, 2]), (D, [1, 1]), (A, [6]),
                                                (A, [0, 4]), (A, [])], dict(check_rat=False),
                                    result(False, MSG_NOT_RUP, 4, 1, 0, 1, 1, 0, 4)),
    # literals beyond nvars grow the tables
    "big-literals": (0, BIG_SQUARE, [(A, [BIG + 2]), (A, [])], {}, result(True, MSG_OK, 2, 2)),
    "big-literal-lemma-and-deletion": (2, SQUARE, [(A, [BIG]), (D, [BIG, 3 * BIG + 1]), (A, [2]), (A, [])], {},
                                       result(True, MSG_OK, 4, 2, 1, 0, 1)),
    # a step after the failing one is not examined, so its literal need not fit in memory
    "failure-before-huge-literal": (2, [[0, 2]], [(A, []), (A, [4294967295])], {},
                                    result(False, MSG_NOT_RAT, 1, failed=1)),
    # Mended faults.  Deleting the clause that forces a top-level literal would leave it unjustified:
    # the deletion is skipped, and a lemma that needed the clause gone fails.
    "reason-deletion-skipped": (2, [[0], [1, 2]], [(D, [1, 2]), (A, [3]), (A, [])], {},
                                result(False, MSG_NOT_RAT, 2, skipped=1, rat_checks=1, failed=2)),
    "reason-deletion-with-repeats-skipped": (1, [[0]], [(D, [0, 0]), (A, [1]), (A, [])], {},
                                             result(False, MSG_NOT_RAT, 2, skipped=1, rat_checks=1, failed=2)),
    "unit-of-repeats-deletion-skipped": (1, [[0, 0]], [(D, [0, 0, 0]), (A, [1]), (A, [])], {},
                                         result(False, MSG_NOT_RAT, 2, skipped=1, rat_checks=1, failed=2)),
    "reason-of-lemma-literal-kept": (3, [[0, 2], [0, 3], [1, 4]], [(A, [0]), (D, [1, 4]), (A, [5]), (A, [])], {},
                                     result(False, MSG_NOT_RAT, 3, rup=1, skipped=1, rat_checks=1, failed=3)),
    "satisfied-reason-shape-kept": (2, [[0], [2], [0, 3]], [(D, [3, 0])], {},
                                    result(False, MSG_NO_EMPTY, 1, skipped=1)),
    # A clause of one repeated literal acts as that unit, and is still listed as a clause.
    "repeated-units-contradict": (2, [[2, 2], [3, 3]], [], {}, REFUTED),
    "repeated-unit-propagates": (2, [[0, 0], [1, 2], [1, 3]], [(A, [])], {}, REFUTED),
    "repeated-unit-lemma": (2, SQUARE, [(A, [2, 2]), (A, [])], {}, result(True, MSG_OK, 2, 2)),
    "repeated-unit-is-rat-candidate": (1, [[1, 1]], [(A, [0])], {},
                                       result(False, MSG_NOT_RAT, 1, rat_checks=1, failed=1)),
    # [x1, x1, x0] propagates x1 once x0 is false, although its first two positions hold the same literal
    "repeated-first-literal-propagates": (3, [[2, 2, 0], [1], [3, 4], [3, 5]], [(A, [])], {}, REFUTED),
    "repeated-second-literal-propagates": (3, [[2, 0, 0], [3], [1, 4], [1, 5]], [], {}, REFUTED),
    "repeated-first-literal-lemma": (3, [[2, 2, 0], [3, 4], [3, 5]], [(A, [0])], dict(check_rat=False),
                                     result(False, MSG_NO_EMPTY, 1, rup=1)),
}


@pytest.mark.parametrize("check", [nn.check_proof, ref_check_proof], ids=["native", "model"])
@pytest.mark.parametrize("name", list(CASES))
def test_verdicts(name, check):
    nvars, clauses, steps, opts, expected = CASES[name]
    res = check(nvars, clauses, steps, **opts)
    assert res == expected and [type(x) for x in res] == [bool, str] + [int] * 7 + [bool]


def test_argument_forms():
    steps = [(A, [4]), (A, [2]), (A, [])]
    assert nn.check_proof(2, SQUARE, steps, False, True) == nn.check_proof(
        steps=steps, clauses=SQUARE, nvars=2, check_rat=False) == result(False, MSG_NOT_RUP, 1, failed=1)
    assert nn.check_proof(2, SQUARE, [(D, [0, 2])], True, False) == result(False, MSG_NO_EMPTY, 1)
    expected = result(True, MSG_OK, 2, 2)
    step = namedtuple("Step", "is_deletion lits")
    assert nn.check_proof(2, SQUARE, [step(False, (2,)), step(False, range(0))]) == expected
    assert nn.check_proof(2, tuple(map(tuple, SQUARE)), ((False, b"\x02"), (False, b""))) == expected
    assert nn.check_proof(True + 1, [bytearray(c) for c in SQUARE], [(A, [2]), (A, [])]) == expected
    assert nn.check_proof(2, SQUARE, b"") == result(False, MSG_NO_EMPTY)
    # literals at the ends of the 32-bit range; the empty clause fails first, so nothing is allocated
    assert nn.check_proof(1, [[0, 2]], b"0 -2147483648 0 2147483647 0")[:2] == (False, MSG_NOT_RAT)
    assert nn.check_proof(1, [[0, 2]], b"a\x00a\x81\x80\x80\x80\x10\x00") == result(False, MSG_NOT_RAT, 1, failed=1)
    np = pytest.importorskip("numpy")
    assert nn.check_proof(2, SQUARE, [(np.False_, [2]), (np.bool_(False), [])], np.True_) == expected


@pytest.mark.parametrize("kwargs,exc,message,param", [  # the steps' own forms (every kind: test_api.py)
    (dict(steps=[[False, [0]]]), TypeError, "'list' object is not an instance of 'tuple'", "steps"),
    (dict(steps=[(False, [0], 1)]), ValueError, "expected tuple of length 2, but got tuple of length 3", "steps"),
    (dict(steps=[()]), ValueError, "expected tuple of length 2, but got tuple of length 0", "steps"),
    # buffers of wider items are not proofs: they convert as the sequences they are
    (dict(steps=array.array("i", [1])), TypeError, "'int' object is not an instance of 'tuple'", "steps"),
    (dict(clauses=b"\x00"), TypeError, "'int' object is not an instance of 'Sequence'", "clauses"),
])
def test_conversion_errors(kwargs, exc, message, param):
    args = dict(dict(nvars=2, clauses=SQUARE, steps=[(A, [2]), (A, [])]), **kwargs)
    raises(exc, lambda: nn.check_proof(**args), message, param)


@pytest.mark.parametrize("seed", range(2))
def test_long_proofs_with_store_compaction_match_model(seed):
    # Deleting most of 24,000 clauses leaves over 64 K dead words, over half of the store: compaction moves
    # clauses that watches, the index and (after a RAT step) occurrence lists refer to.
    rng, nv = random.Random(seed), 3000
    clauses = [rng.sample(range(2 * nv), 3) for _ in range(24000)]
    fresh, order = iter(range(2 * nv, 2 * nv + 2000, 2)), rng.sample(clauses, len(clauses))
    kept = order[21500:]

    def some_steps(k, dels):
        out = []
        for _ in range(k):
            r = rng.random()
            if r < 0.3:
                out.append((False, [next(fresh)] + rng.choice(clauses)[:2]))  # RAT on a fresh variable
            elif r < 0.6:
                out.append((False, rng.choice(kept) + [rng.randrange(2 * nv)]))  # RUP: a weakening
            elif out:
                out.append((True, rng.choice(out)[1][::-1]))  # a lemma deleted (or not found)
        return out + [(True, rng.sample(c, len(c))) for c in dels]

    steps = some_steps(20, order[:500]) + some_steps(0, order[500:21000]) + some_steps(40, order[21000:21500])
    steps.append((False, rng.sample(range(2 * nv), 2)))  # most likely neither RUP nor RAT
    for check_rat, apply_deletions in [(True, True), (False, True), (True, False)]:
        assert (nn.check_proof(nv, clauses, steps, check_rat, apply_deletions)
                == ref_check_proof(nv, clauses, steps, check_rat, apply_deletions))


TEXT = "malformed DRAT proof (text) at byte offset "
BINARY = "malformed DRAT proof (binary) at byte offset "
MALFORMED = [
    (b"1 2 0\n3 4", TEXT + "9, line 2: proof ends inside a step"),
    (b"1 2 0x", TEXT + "5, line 1: unexpected character 'x'"),
    (b"1 -\n0", TEXT + "3, line 1: unexpected byte 0x0a after '-'"),
    (b"1 2 0\n\n2147483648 0", TEXT + "7, line 3: literal out of range"),
    (b"-2147483649 0", TEXT + "0, line 1: literal out of range"),
    (b"99999999999999999999999 0", TEXT + "0, line 1: literal out of range"),
    (b"d1 0", TEXT + "1, line 1: unexpected character '1' after 'd'"),
    (b"1 0\nc note\n2 d 0", TEXT + "13, line 3: unexpected character 'd'"),
    (b"d", TEXT + "1, line 1: proof ends inside a step"),
    (b"1 2 0\n\xff", TEXT + "6, line 2: unexpected byte 0xff"),
    (b"d\x02\x04", TEXT + "1, line 1: unexpected byte 0x02 after 'd'"),  # no zero byte: not binary
    (b"a\x02\x03", BINARY + "3: proof ends inside a step"),
    (b"a\x01\x00", BINARY + "1: literal out of range"),
    (b"a\x02\x00x\x00", BINARY + "3: step kind must be 'a' or 'd', found character 'x'"),
    (b"a\x02\x00\n", BINARY + "3: step kind must be 'a' or 'd', found byte 0x0a"),
    (b"a\x80\x80\x80\x80\x80\x01\x00", BINARY + "1: literal out of range"),
    (b"a\x04" + b"\xff" * 10 + b"\x7f\x00", BINARY + "2: literal out of range"),
    (b"a\x02\x84", BINARY + "3: proof ends inside a step"),
    # the whole proof is read, also after the step that ends the check
    (b"2 0\n0\n1 x 0", TEXT + "8, line 3: unexpected character 'x'"),
    (b"a\x00a\x02", BINARY + "4: proof ends inside a step"),
]


@pytest.mark.parametrize("data,message", MALFORMED)
def test_malformed_proofs(data, message):
    for proof in (data, bytearray(data)):
        raises(ValueError, lambda: nn.check_proof(2, SQUARE, proof), message, "steps")


def test_lock_is_released_during_the_check():  # also while it reads a ClauseDb and a proof in bytes
    nvars, clauses = pigeonhole(6)
    s = solver(nvars, clauses)
    assert s.solve() is False
    clauses, steps = clause_db(clauses, nvars), drat_binary(to_steps(s.proof_steps()))
    assert_lock_released(lambda: nn.check_proof(nvars, clauses, steps)[:2] == (True, MSG_OK) or pytest.fail())
