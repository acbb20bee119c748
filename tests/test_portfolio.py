"""solve_portfolio: worker mappings, routing, proofs, agreement with Solver and the interpreter lock.

Random small formulas through random portfolios, against brute force, are in test_fuzz.py."""
import time

import pytest

import norvane_native as nn
from conftest import (MSG_OK, RANGE, SOLVER_PARAMS, assert_lock_released, expect_notes, notes, pigeonhole, raises,
                      random_3sat, satisfies, solver)

FIELDS = [name for name, _ in SOLVER_PARAMS[1:]]
DEFAULTS = dict(SOLVER_PARAMS[1:])
NOTE = ["while processing 'configs'"]
CONFIGS = {
    "default": {},
    "glucose-basic": dict(restart="glucose", ccmin="basic", phase_saving=False),
    "walk": dict(walk_min_conflicts=0, luby_base=5.0, walk_flips=500, target_reset=3),
    "random": dict(rnd_freq=0.2, rnd_seed=7, restart="none", ccmin="none", init_phase=True),
    "reduce": dict(first_reduce=20, reduce_inc=2, glue_keep=1, block_restart=False, var_decay=0.9),
}


def cfg(**over):
    return dict(DEFAULTS, **over)


FORMULAS = {
    "php6": pigeonhole(6),
    "sat-100": (100, random_3sat(17, 100)),
    "unsat-100": (100, random_3sat(27, 100)),
    "threshold-50": (50, random_3sat(2, 50)),
}


def check_result(res, nvars, clauses, configs, alt=None, want_proof=False):
    """The winner's outcome is what its own solver reports on its formula; models and proofs check."""
    worker, formula, sat, model, *_, proof = res
    solved = alt if formula == 1 else clauses
    assert 0 <= worker < len(configs) and formula in (0, 1)
    s = solver(nvars, [], want_proof, **configs[worker])
    alone = s.solve() if all(s.add_clause(c) for c in solved) else False
    proof_alone = [(kind == "d", lits) for kind, lits in s.proof_steps()] if want_proof and not alone else []
    assert res[2:] == (alone, s.model, s.conflicts, s.decisions, s.propagations, s.restarts, proof_alone)
    if sat:
        assert len(model) >= nvars and satisfies(solved, model)
    elif proof:
        check = nn.check_proof(nvars, solved, [(d, [nn.from_dimacs(x) for x in lits]) for d, lits in proof])
        assert check[:2] == (True, MSG_OK), check


# ---------------------------------------------------------------- reading worker mappings


class Recorder:
    """A mapping-like object that logs every key looked up and can fail on one of them."""

    def __init__(self, log, fail_on=None, **over):
        self.log, self.fail_on, self.data = log, fail_on, cfg(**over)

    def __getitem__(self, key):
        self.log.append(key)
        if key == self.fail_on:
            raise LookupError(f"no {key}")
        return self.data[key]


def test_fields_are_read_in_order_through_the_item_protocol():
    log = []
    res = nn.solve_portfolio(1, [[0]], [Recorder(log)])
    assert log == FIELDS and res[2] is True
    log = []
    with pytest.raises(LookupError) as e:
        nn.solve_portfolio(1, [[0]], [Recorder(log), Recorder(log, fail_on="walk_interval"), Recorder(log)])
    assert log == FIELDS + FIELDS[:FIELDS.index("walk_interval") + 1]
    assert str(e.value) == "no walk_interval" and notes(e.value) == expect_notes(NOTE)
    c = cfg()
    for missing, configs in (("walk_flips", [c]), ("ccmin", [cfg(), c])):
        del c[missing]
        with pytest.raises(KeyError) as e:
            nn.solve_portfolio(1, [[0]], configs)
        assert e.value.args == (missing,) and notes(e.value) == expect_notes(NOTE)


@pytest.mark.parametrize("field,value,cause,cause_message", [
    ("restart", 1, TypeError, "'int' object is not an instance of 'str'"),
    ("phase_saving", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("walk_flips", -1, OverflowError, None),
    ("first_reduce", 1.5, TypeError, None),
    ("glue_keep", 2**32, OverflowError, RANGE),
    ("rnd_seed", -1, OverflowError, RANGE),
    ("var_decay", "0.8", TypeError, None),
])
def test_field_conversion_errors(field, value, cause, cause_message):
    log = []
    e = raises(TypeError, lambda: nn.solve_portfolio(1, [[0]], [cfg(), Recorder(log, **{field: value})]),
               f"failed to extract field WorkerConfig.{field}", "configs")
    assert type(e.__cause__) is cause and (cause_message is None or str(e.__cause__) == cause_message)
    assert log == FIELDS[:FIELDS.index(field) + 1]  # nothing read after the failing field


def test_accepted_field_values():
    np = pytest.importorskip("numpy")
    extra = cfg(target_reset=2**32, var_decay=1, luby_base=50, walk_flips=2**64 - 1, glue_keep=2**32 - 1)
    extra.update(comment="ignored", walk="ignored", **{"": None})
    numpy_cfg = cfg(phase_saving=np.True_, block_restart=np.bool_(False), rnd_freq=np.float64(0.0))
    for c in (extra, numpy_cfg):
        assert nn.solve_portfolio(2, [[0, 2], [1]], [c])[:4] == (0, 0, True, [False, True])


@pytest.mark.parametrize("configs,message", [
    ([cfg(restart="Luby")], 'unknown restart "Luby"'),
    ([cfg(), cfg(ccmin="Deep")], 'unknown ccmin "Deep"'),
    ([cfg(restart="glucose ", ccmin="Deep")], 'unknown restart "glucose "'),
    ([cfg(ccmin='a"\\\n')], 'unknown ccmin "a\\"\\\\\\n"'),
    ([cfg(), cfg(), cfg(restart="")], 'unknown restart ""'),
])
def test_unknown_option_names_run_nothing(configs, message):
    nvars, clauses = pigeonhole(9)  # would take far longer than this test if any worker ran
    t = time.perf_counter()
    raises(ValueError, lambda: nn.solve_portfolio(nvars, clauses, configs), message, "")
    assert time.perf_counter() - t < 1.0


@pytest.mark.parametrize("kwargs,exc,message,param", [
    (dict(nvars=2**32), OverflowError, RANGE, "nvars"),
    (dict(clauses=[[0], [-1]]), OverflowError, RANGE, "clauses"),
    (dict(clauses="ab"), TypeError, "Can't extract `str` to `Vec`", "clauses"),
    (dict(alt=[[0.5]]), TypeError, None, "alt"),
    (dict(alt_threads=-1), OverflowError, None, "alt_threads"),
    (dict(alt_threads=1.0), TypeError, None, "alt_threads"),
    (dict(want_proof=1), TypeError, "'int' object is not an instance of 'bool'", "want_proof"),
    (dict(configs={"a": cfg()}), TypeError, "'dict' object is not an instance of 'Sequence'", "configs"),
    (dict(configs="luby"), TypeError, "Can't extract `str` to `Vec`", "configs"),
    (dict(configs=None), TypeError, "'None' is not an instance of 'Sequence'", "configs"),
    (dict(configs=[cfg(), 5]), TypeError, None, "configs"),
    # every argument is read before option names are parsed
    (dict(configs=[cfg(restart="x"), cfg(phase_saving=1)]), TypeError,
     "failed to extract field WorkerConfig.phase_saving", "configs"),
    (dict(configs=[cfg(restart="x")], want_proof=1), TypeError, "'int' object is not an instance of 'bool'",
     "want_proof"),
    # conversion follows parameter order
    (dict(clauses=[[-1]], configs={}), OverflowError, RANGE, "clauses"),
    (dict(configs={}, alt="x", want_proof=1), TypeError, "'dict' object is not an instance of 'Sequence'",
     "configs"),
    (dict(alt="x", alt_threads=-1), TypeError, "Can't extract `str` to `Vec`", "alt"),
])
def test_argument_conversion_errors(kwargs, exc, message, param):
    args = dict(dict(nvars=1, clauses=[[0]], configs=[cfg()]), **kwargs)
    raises(exc, lambda: nn.solve_portfolio(**args), message, param)


# ---------------------------------------------------------------- results


def test_no_configuration_and_contradictions_found_while_loading():
    assert nn.solve_portfolio(3, [[0]], []) is None
    assert nn.solve_portfolio(3, [[0], [1]], (), alt=[[2]], alt_threads=5, want_proof=True) is None
    assert nn.solve_portfolio(0, [[]], []) is None
    c = cfg()
    assert nn.solve_portfolio(1, [[0], [1]], [c]) == (0, 0, False, [], 0, 0, 1, 0, [])
    assert nn.solve_portfolio(1, [[0], [1]], [c], want_proof=True) == (0, 0, False, [], 0, 0, 1, 0, [(False, [])])
    assert nn.solve_portfolio(2, [[0, 2], [], [1]], [c], want_proof=True) == (0, 0, False, [], 0, 0, 0, 0,
                                                                              [(False, [])])
    res = nn.solve_portfolio(2, [[0, 2], []], [c, c], want_proof=True)
    assert res[0] in (0, 1) and res[1:] == (0, False, [], 0, 0, 0, 0, [(False, [])])
    res = nn.solve_portfolio(1, [[10], [0, 2]], [c])
    assert [type(x) for x in res] == [int, int, bool, list, int, int, int, int, list]
    assert res[2] is True and len(res[3]) == 6 and res[3][5] is True and all(type(b) is bool for b in res[3])


@pytest.mark.parametrize("formula", list(FORMULAS))
def test_winner_matches_its_own_solver(formula):
    nvars, clauses = FORMULAS[formula]
    configs = [cfg(**CONFIGS[k]) for k in CONFIGS]
    for c in configs:  # one worker, on the calling thread
        res, plain = (nn.solve_portfolio(nvars, clauses, [c], want_proof=w) for w in (True, False))
        assert res[:2] == (0, 0) and plain[:8] == res[:8] and plain[8] == []
        check_result(res, nvars, clauses, [c], want_proof=True)
    check_result(nn.solve_portfolio(nvars, clauses, configs, want_proof=True), nvars, clauses, configs,
                 want_proof=True)
    # the same mapping object twice: two identical workers, either may win with the same outcome
    check_result(nn.solve_portfolio(nvars, clauses, [configs[1]] * 2), nvars, clauses, [configs[1]] * 2)


# ---------------------------------------------------------------- alternative formula (small cases: test_fuzz.py)


def test_alt_goes_to_the_last_workers_and_the_winner_stops_the_others():
    nvars, hard = pigeonhole(9)  # seconds of work for each worker that is not stopped
    res = nn.solve_portfolio(nvars, hard, [cfg()], alt=[], alt_threads=2**64 - 1)
    assert res[:3] == (0, 1, True) and res[4] == 0 and len(res[3]) == nvars
    configs = [cfg(**CONFIGS[k]) for k in ["default", "glucose-basic", "walk", "random"]]
    t = time.perf_counter()
    res = nn.solve_portfolio(nvars, hard, configs, alt=[[0, 2]], alt_threads=1)
    assert time.perf_counter() - t < 1.0
    assert res[:3] == (3, 1, True) and len(res[3]) == nvars  # only the last worker has the trivial formula
    check_result(res, nvars, hard, configs, alt=[[0, 2]])


# ---------------------------------------------------------------- threads and the interpreter lock


@pytest.mark.parametrize("nconfigs", [1, 2])
def test_lock_is_released_during_the_run(nconfigs):
    nvars, clauses = pigeonhole(7)
    configs = [cfg(), cfg(**CONFIGS["glucose-basic"])][:nconfigs]

    assert_lock_released(lambda: nn.solve_portfolio(nvars, clauses, configs)[2] is False or pytest.fail())
