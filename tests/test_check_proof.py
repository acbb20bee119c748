"""check_proof: verdicts, counters, deletions, RAT, bad input, soundness and the interpreter lock."""
import random
import threading
import time
from collections import namedtuple

import pytest

import norvane_native as nn
from conftest import BENCH, expect_notes, notes, read_dimacs_xz, satisfies, to_steps

MSG_REFUTED = "input formula is refuted by unit propagation alone"
MSG_OK = "empty clause derived and every step verified"
MSG_NO_EMPTY = "every step verified, but the proof never derives the empty clause"
MSG_NOT_RUP = "clause is not RUP (RAT checking disabled)"
MSG_NOT_RAT = "clause is neither RUP nor RAT with respect to the clauses available at this point"
RANGE = "out of range integral type conversion attempted"
REFUTED = (True, MSG_REFUTED, 0, 0, 0, 0, 0, 0, -1, True)

# (x0 | x1) (x0 | -x1) (-x0 | x1) (-x0 | -x1): unsatisfiable, not refuted by unit propagation.
SQUARE = [[0, 2], [0, 3], [1, 2], [1, 3]]
A, D = False, True  # step flags: addition, deletion


def result(ok, message, steps=0, rup=0, rat=0, deleted=0, skipped=0, rat_checks=0, failed=-1, empty=None):
    return (ok, message, steps, rup, rat, deleted, skipped, rat_checks, failed, ok if empty is None else empty)


def sat_by_brute_force(nvars, clauses):
    for a in range(1 << nvars):
        if satisfies(clauses, [bool(a >> v & 1) for v in range(nvars)]):
            return True
    return False


# ---------------------------------------------------------------- verdicts and counters


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
    "empty-clause-not-rup-no-rat": (1, [[0, 2]], [(A, [])], dict(check_rat=False),
                                    result(False, MSG_NOT_RUP, 1, failed=1)),
    # deletion of [0, 2] is carried out, so [2] is neither RUP nor RAT at step 4
    "deleted-clause-is-gone": (2, SQUARE, [(A, [2, 4]), (D, [0, 2]), (A, [6]), (A, [2]), (A, [])], {},
                               result(False, MSG_NOT_RAT, 4, 1, 1, 1, 0, 1, 4)),
    "deleted-clause-no-rat": (2, SQUARE, [(A, [2, 4]), (D, [2, 0]), (A, [6]), (A, [2]), (A, [])],
                              dict(check_rat=False), result(False, MSG_NOT_RUP, 3, 1, 0, 1, 0, 0, 3)),
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
    "rat-disabled": (3, [[1, 2], [2, 4], [2, 5]], [(A, [0])], dict(check_rat=False),
                     result(False, MSG_NOT_RUP, 1, failed=1)),
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
    "absent-clause-deletion-skipped": (2, SQUARE, [(D, [0, 4]), (D, [0, 1])], {},
                                       result(False, MSG_NO_EMPTY, 2, skipped=2)),
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
}


@pytest.mark.parametrize("name", list(CASES))
def test_verdicts(name):
    nvars, clauses, steps, opts, expected = CASES[name]
    res = nn.check_proof(nvars, clauses, steps, **opts)
    assert res == expected
    assert [type(x) for x in res] == [bool, str] + [int] * 7 + [bool]


def test_docstring():
    assert nn.check_proof.__doc__ == (
        "Check a DRAT proof against a formula.\n\n"
        "Returns the same shape `norvane.proof.CheckResult` carries, so the Python\n"
        "wrapper can present one interface over either implementation.")


def test_positional_and_keyword_arguments():
    steps = [(A, [4]), (A, [2]), (A, [])]
    assert nn.check_proof(2, SQUARE, steps, False, True) == nn.check_proof(
        steps=steps, clauses=SQUARE, nvars=2, check_rat=False) == result(False, MSG_NOT_RUP, 1, failed=1)
    assert nn.check_proof(2, SQUARE, [(D, [0, 2])], True, False) == result(False, MSG_NO_EMPTY, 1)


# ---------------------------------------------------------------- mended faults


def test_deleting_the_reason_of_a_top_level_literal_is_not_carried_out():
    # x0 is a unit, so [-x0, x1] forces x1: deleting it must not leave x1 unjustified.
    res = nn.check_proof(2, [[0], [1, 2]], [(D, [1, 2]), (A, [3]), (A, [])])
    assert res == result(False, MSG_NOT_RAT, 2, skipped=1, rat_checks=1, failed=2)
    res = nn.check_proof(1, [[0]], [(D, [0, 0]), (A, [1]), (A, [])])
    assert res == result(False, MSG_NOT_RAT, 2, skipped=1, rat_checks=1, failed=2)
    # the same for a reason of a literal forced by an accepted lemma: the formula is satisfiable
    res = nn.check_proof(3, [[0, 2], [0, 3], [1, 4]], [(A, [0]), (D, [1, 4]), (A, [5]), (A, [])])
    assert res == result(False, MSG_NOT_RAT, 3, rup=1, skipped=1, rat_checks=1, failed=3)


def test_clause_of_one_repeated_literal_acts_as_a_unit():
    assert nn.check_proof(2, [[2, 2], [3, 3]], []) == REFUTED
    assert nn.check_proof(2, [[0, 0], [1, 2], [1, 3]], [(A, [])]) == REFUTED
    assert nn.check_proof(2, SQUARE, [(A, [2, 2]), (A, [])]) == result(True, MSG_OK, 2, 2)
    assert nn.check_proof(2, SQUARE, [(A, [2, 2, 2])]) == result(False, MSG_NO_EMPTY, 1, 1)
    # still listed as a clause: a RAT candidate of x0
    assert nn.check_proof(1, [[1, 1]], [(A, [0])]) == result(False, MSG_NOT_RAT, 1, rat_checks=1, failed=1)


def test_repeated_first_literal_still_propagates():
    # [x1, x1, x0] must propagate x1 once x0 is false, although its first two positions hold the same
    # literal: the formula is refuted by unit propagation (-x0, hence x1, hence x2 and -x2)
    assert nn.check_proof(3, [[2, 2, 0], [1], [3, 4], [3, 5]], [(A, [])]) == REFUTED
    assert nn.check_proof(3, [[2, 2, 0], [3, 4], [3, 5]], [(A, [0])], check_rat=False) == result(
        False, MSG_NO_EMPTY, 1, rup=1)


# ---------------------------------------------------------------- argument conversion


Step = namedtuple("Step", "is_deletion lits")


@pytest.mark.parametrize("kwargs,exc,message,param", [
    (dict(steps=[[False, [0]]]), TypeError, "'list' object is not an instance of 'tuple'", "steps"),
    (dict(steps=[(False, [0], 1)]), ValueError, "expected tuple of length 2, but got tuple of length 3", "steps"),
    (dict(steps=[(False,)]), ValueError, "expected tuple of length 2, but got tuple of length 1", "steps"),
    (dict(steps=[()]), ValueError, "expected tuple of length 2, but got tuple of length 0", "steps"),
    (dict(steps=[(0, [0])]), TypeError, "'int' object is not an instance of 'bool'", "steps"),
    (dict(steps=[(None, [0])]), TypeError, "'None' is not an instance of 'bool'", "steps"),
    (dict(steps=[(False, [-1])]), OverflowError, RANGE, "steps"),
    (dict(steps=[(False, [2**32])]), OverflowError, RANGE, "steps"),
    (dict(steps=[(False, "01")]), TypeError, "Can't extract `str` to `Vec`", "steps"),
    (dict(steps=[(False, {0})]), TypeError, "'set' object is not an instance of 'Sequence'", "steps"),
    (dict(steps=(s for s in [])), TypeError, "'generator' object is not an instance of 'Sequence'", "steps"),
    (dict(steps=None), TypeError, "'None' is not an instance of 'Sequence'", "steps"),
    (dict(clauses=[[0], [-2]]), OverflowError, RANGE, "clauses"),
    (dict(clauses=[0, 1]), TypeError, "'int' object is not an instance of 'Sequence'", "clauses"),
    (dict(clauses="ab"), TypeError, "Can't extract `str` to `Vec`", "clauses"),
    (dict(clauses=[[0.0]]), TypeError, None, "clauses"),
    (dict(nvars=-1), OverflowError, RANGE, "nvars"),
    (dict(nvars=2**32), OverflowError, RANGE, "nvars"),
    (dict(nvars=1.0), TypeError, None, "nvars"),
    (dict(check_rat=1), TypeError, "'int' object is not an instance of 'bool'", "check_rat"),
    (dict(apply_deletions=None), TypeError, "'None' is not an instance of 'bool'", "apply_deletions"),
    # the first parameter that fails is reported
    (dict(nvars=-1, clauses="x", steps=None), OverflowError, RANGE, "nvars"),
    (dict(clauses=[[-1]], steps=[[True, []]], check_rat=0), OverflowError, RANGE, "clauses"),
    (dict(steps=[(False, [0]), (True, [1], 2)], check_rat=0), ValueError, None, "steps"),
])
def test_conversion_errors(kwargs, exc, message, param):
    args = dict(nvars=2, clauses=SQUARE, steps=[(A, [2]), (A, [])])
    args.update(kwargs)
    with pytest.raises(exc) as e:
        nn.check_proof(**args)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message
    assert notes(e.value) == expect_notes([f"while processing '{param}'"])


def test_accepted_argument_forms():
    expected = result(True, MSG_OK, 2, 2)
    assert nn.check_proof(2, SQUARE, [Step(False, (2,)), Step(False, range(0))]) == expected
    assert nn.check_proof(2, tuple(map(tuple, SQUARE)), ((False, b"\x02"), (False, b""))) == expected
    assert nn.check_proof(True + 1, [bytearray(c) for c in SQUARE], [(A, [2]), (A, [])]) == expected
    np = pytest.importorskip("numpy")
    assert nn.check_proof(2, SQUARE, [(np.False_, [2]), (np.bool_(False), [])], np.True_) == expected


def test_literals_beyond_nvars_grow_the_tables():
    big = 10**6
    square = [[big + a, big + b] for a, b in [(0, 2), (0, 3), (1, 2), (1, 3)]]
    assert nn.check_proof(0, square, [(A, [big + 2]), (A, [])]) == result(True, MSG_OK, 2, 2)
    assert nn.check_proof(2, SQUARE, [(A, [big]), (D, [big, 3 * big + 1]), (A, [2]), (A, [])]) == result(
        True, MSG_OK, 4, 2, 1, 0, 1)
    assert nn.check_proof(1, [[2 * big], [2 * big + 1]], []) == REFUTED


@pytest.mark.parametrize("where", ["clauses", "steps"])
def test_largest_literal_does_not_crash(where):
    lit = 4294967295
    clauses, steps = ([[lit]], [(A, [lit - 1])]) if where == "clauses" else ([[0]], [(A, [lit]), (D, [lit, 0])])
    try:
        res = nn.check_proof(1, clauses, steps)
    except MemoryError:
        pass
    else:
        assert res[0] is False
    assert nn.check_proof(2, SQUARE, [(A, [2]), (A, [])]) == result(True, MSG_OK, 2, 2)


# ---------------------------------------------------------------- proofs from the solver


def _random_formula(rng, nvars, nclauses):
    return [[rng.randrange(2 * nvars) for _ in range(rng.choice([1, 2, 2, 3, 3, 3, 4]))]
            for _ in range(nclauses)]


def _solver_proof(nvars, clauses, **opts):
    s = nn.Solver(nvars, **opts)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    return s.solve(), to_steps(s.proof_steps())


def test_solver_proofs_of_random_formulas_are_accepted():
    rng = random.Random(2024)
    unsat = 0
    for i in range(800):
        nvars = rng.randint(1, 10)
        clauses = _random_formula(rng, nvars, rng.randint(1, 6 * nvars))
        opts = dict(luby_base=1.0, first_reduce=2, reduce_inc=1, glue_keep=0) if i % 2 else {}
        answer, steps = _solver_proof(nvars, clauses, **opts)
        assert answer == sat_by_brute_force(nvars, clauses)
        if answer:
            continue
        unsat += 1
        res = nn.check_proof(nvars, clauses, steps)
        assert res[0] and res[9] and res[8] == -1, (clauses, steps, res)
        if res[1] == MSG_OK:
            assert res[2] == len(steps) and res[3] + res[4] + res[5] + res[6] == len(steps)
            # solver lemmas are RUP, and ignoring deletions keeps them RUP
            assert nn.check_proof(nvars, clauses, steps, check_rat=False)[:2] == (True, MSG_OK)
            assert nn.check_proof(nvars, clauses, steps, apply_deletions=False)[:2] == (True, MSG_OK)
            # one lemma dropped: accepted or not, the report is coherent
            if len(steps) > 2:
                k = rng.randrange(len(steps) - 1)
                short = steps[:k] + steps[k + 1:]
                assert_coherent(nn.check_proof(nvars, clauses, short), short)
        else:
            assert res[1] == MSG_REFUTED and res[2:9] == (0, 0, 0, 0, 0, 0, -1)
    assert unsat > 150


def test_bench_proofs_are_accepted():
    files = ["uuf50-01.cnf.xz", "dubois20.cnf.xz", "aim-100-1_6-no-1.cnf.xz", "jnh2.cnf.xz"]
    if not all((BENCH / "cnf" / f).exists() for f in files):
        pytest.skip("benchmark instances not available")
    for f in files:
        nvars, clauses = read_dimacs_xz(BENCH / "cnf" / f)
        answer, steps = _solver_proof(nvars, clauses)
        assert answer is False
        res = nn.check_proof(nvars, clauses, steps)
        assert res[:2] == (True, MSG_OK) and res[2] == len(steps)
        # without its final step the proof no longer derives the empty clause
        res = nn.check_proof(nvars, clauses, steps[:-1])
        assert res[0] is False


def assert_coherent(res, proof):
    ok, message, steps, rup, rat, deleted, skipped, rat_checks, failed, empty = res
    assert empty == ok and steps <= len(proof) and rup + rat + deleted + skipped <= steps
    if ok:
        assert failed == -1 and message in (MSG_OK, MSG_REFUTED)
        assert message == MSG_REFUTED or tuple(proof[steps - 1]) == (False, [])
    elif message == MSG_NO_EMPTY:
        assert failed == -1 and steps == len(proof)
    else:
        assert message in (MSG_NOT_RAT, MSG_NOT_RUP) and failed == steps >= 1
        assert not proof[failed - 1][0]


def _corruptions(rng, steps, clauses, nvars):
    out = []
    adds = [i for i, (d, lits) in enumerate(steps) if not d and lits]
    if adds:
        i = rng.choice(adds)
        out.append(steps[:i] + steps[i + 1:])  # drop a lemma
        lits = list(steps[i][1])
        j = rng.randrange(len(lits))
        lits[j] ^= 1
        out.append(steps[:i] + [(False, lits)] + steps[i + 1:])  # flip a literal
        lits = list(steps[i][1])
        lits[0], lits[-1] = lits[-1], lits[0]
        out.append(steps[:i] + [(False, lits)] + steps[i + 1:])  # another pivot
    c = rng.choice(clauses) if clauses else []
    k = rng.randrange(len(steps) + 1)
    out.append(steps[:k] + [(True, list(c))] + steps[k:])  # delete an input clause
    out.append(steps[:k] + [(True, list(c) * 2)] + steps[k:])  # ... through a repeated-literal key
    junk = []
    for _ in range(rng.randint(1, 6)):
        lits = [rng.randrange(2 * nvars + 2) for _ in range(rng.randint(0, 3))]
        junk.append((rng.random() < 0.3, lits))
    out.append(junk + [(False, [])])
    out.append(steps[:k] + junk + steps[k:])
    return out


def test_no_proof_refutes_a_satisfiable_formula():
    rng = random.Random(99)
    checked = 0
    while checked < 1500:
        nvars = rng.randint(1, 7)
        clauses = _random_formula(rng, nvars, rng.randint(2, 6 * nvars))
        answer, steps = _solver_proof(nvars, clauses, luby_base=1.0, first_reduce=2, reduce_inc=1)
        if answer:
            continue
        # weaken the formula until it is satisfiable, then try the proof and its corruptions on it
        weak = list(clauses)
        while not sat_by_brute_force(nvars, weak):
            weak.pop(rng.randrange(len(weak)))
        for proof in [steps] + _corruptions(rng, steps, weak, nvars):
            for opts in ({}, dict(apply_deletions=False)):
                res = nn.check_proof(nvars, weak, proof, **opts)
                assert not res[0], (nvars, weak, proof, res)
                assert_coherent(res, proof)
                checked += 1
        # on the unsatisfiable original a corrupted proof may pass or fail, but the report is coherent
        for proof in _corruptions(rng, steps, clauses, nvars):
            assert_coherent(nn.check_proof(nvars, clauses, proof), proof)


# ---------------------------------------------------------------- the interpreter lock


def _long_check():
    path = BENCH / "cnf" / "uuf125-040.cnf.xz"
    if path.exists():
        nvars, clauses = read_dimacs_xz(path)
    else:
        holes = 6
        nvars = (holes + 1) * holes
        clauses = [[2 * (p * holes + h) for h in range(holes)] for p in range(holes + 1)]
        clauses += [[2 * (p * holes + h) + 1, 2 * (q * holes + h) + 1]
                    for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    answer, steps = _solver_proof(nvars, clauses)
    assert answer is False
    return nvars, clauses, steps


def test_lock_is_released_during_the_check():
    nvars, clauses, steps = _long_check()
    stamps = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0002)

    th = threading.Thread(target=ticker)
    th.start()
    try:
        windows = []
        while sum(b - a for a, b in windows) < 0.25:
            t0 = time.perf_counter()
            res = nn.check_proof(nvars, clauses, steps)
            windows.append((t0, time.perf_counter()))
            assert res[:2] == (True, MSG_OK)
    finally:
        stop.set()
        th.join()
    # With the lock held throughout a call, the ticker could still slip in once at each end of the
    # window (while the caller runs Python code), but never in between.
    inside = sum(max(0, sum(1 for t in stamps if a < t < b) - 2) for a, b in windows)
    assert inside >= 20, (inside, len(windows))


def test_concurrent_checks_from_threads():
    nvars, clauses, steps = _long_check()
    expected = nn.check_proof(nvars, clauses, steps)
    out = [None] * 3

    def work(i):
        out[i] = nn.check_proof(nvars, clauses, steps if i != 1 else steps[:-1])

    ths = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in ths:
        t.start()
    for t in ths:
        t.join()
    assert out[0] == out[2] == expected and out[1][0] is False
