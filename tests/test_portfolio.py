"""solve_portfolio: worker mappings, routing, proofs, agreement with Solver and the interpreter lock
(random small formulas through random portfolios, against brute force: test_fuzz.py)."""
import time

import pytest

import norvane_native as nn
from conftest import (MSG_OK, RANGE, SOLVER_KINDS, SOLVER_PARAMS, assert_lock_released, pigeonhole, raises, random_3sat,
                      satisfies, solver, to_steps)

FIELDS = [name for name, _ in SOLVER_PARAMS[1:]]
DEFAULTS = dict(SOLVER_PARAMS[1:])
CONFIGS = {
    "default": {},
    "glucose-basic": dict(restart="glucose", ccmin="basic", phase_saving=False),
    "walk": dict(walk_min_conflicts=0, luby_base=5.0, walk_flips=500, target_reset=3),
    "random": dict(rnd_freq=0.2, rnd_seed=7, restart="none", ccmin="none", init_phase=True),
    "reduce": dict(first_reduce=20, reduce_inc=2, glue_keep=1, block_restart=False, var_decay=0.9),
}


def cfg(**over):
    return dict(DEFAULTS, **over)


FORMULAS = {"php6": pigeonhole(6), "sat-100": (100, random_3sat(17, 100)), "unsat-100": (100, random_3sat(27, 100)),
            "threshold-50": (50, random_3sat(2, 50))}


def check_result(res, nvars, clauses, configs, alt=None, want_proof=False):
    """The winner's outcome is what its own solver reports on its formula; models and proofs check."""
    worker, formula, sat, model, *_, proof = res
    solved = alt if formula == 1 else clauses
    assert 0 <= worker < len(configs) and formula in (0, 1)
    s = solver(nvars, [], want_proof, **configs[worker])
    alone = s.solve() if all(s.add_clause(c) for c in solved) else False
    steps = to_steps(s.proof_steps()) if want_proof and not alone else []
    assert res[2:8] == (alone, s.model, s.conflicts, s.decisions, s.propagations, s.restarts)
    assert [(d, [nn.from_dimacs(x) for x in lits]) for d, lits in proof] == steps
    assert not sat or len(model) >= nvars and satisfies(solved, model)
    assert not steps or nn.check_proof(nvars, solved, steps)[:2] == (True, MSG_OK)


class Recorder:  # a mapping-like object that logs every key looked up

    def __init__(self, log, **over):
        self.log, self.data = log, cfg(**over)

    def __getitem__(self, key):
        self.log.append(key)
        return self.data[key]


def test_fields_are_read_in_order_through_the_item_protocol():
    log = []
    assert nn.solve_portfolio(1, [[0]], [Recorder(log)])[2] is True and log == FIELDS
    c = cfg()
    del c["ccmin"]
    raises(KeyError, lambda: nn.solve_portfolio(1, [[0]], [cfg(), c]), "'ccmin'", "configs")  # the lookup's own error


BAD_FIELDS = {"u32": (-1, OverflowError, RANGE), "u64": (-1, OverflowError, None), "f64": ("0.8", TypeError, None),
              "bool": (1, TypeError, "'int' object is not an instance of 'bool'"),
              "str": (1, TypeError, "'int' object is not an instance of 'str'")}


@pytest.mark.parametrize("field", FIELDS)
def test_field_conversion_errors(field):
    value, cause, cause_message = BAD_FIELDS[SOLVER_KINDS[field]]
    log = []
    e = raises(TypeError, lambda: nn.solve_portfolio(1, [[0]], [cfg(), Recorder(log, **{field: value}), Recorder(log)]),
               f"failed to extract field WorkerConfig.{field}", "configs")
    assert type(e.__cause__) is cause and (cause_message is None or str(e.__cause__) == cause_message)
    assert log == FIELDS[:FIELDS.index(field) + 1]  # nothing read after the failing field


@pytest.mark.parametrize("configs,message", [
    ([cfg(), cfg(ccmin="Deep")], 'unknown ccmin "Deep"'),
    ([cfg(restart="glucose ", ccmin="Deep")], 'unknown restart "glucose "'),
    ([cfg(), cfg(), cfg(restart="")], 'unknown restart ""'),
])
def test_unknown_option_names_run_nothing(configs, message):
    nvars, clauses = pigeonhole(9)  # would take far longer than this test if any worker ran
    t = time.perf_counter()
    raises(ValueError, lambda: nn.solve_portfolio(nvars, clauses, configs), message, "")
    assert time.perf_counter() - t < 1.0
    # every argument is converted before the words are parsed
    raises(TypeError, lambda: nn.solve_portfolio(nvars, clauses, configs + [cfg(phase_saving=1)]),
           "failed to extract field WorkerConfig.phase_saving", "configs")
    raises(TypeError, lambda: nn.solve_portfolio(nvars, clauses, configs, want_proof=1), note="want_proof")


def test_no_configuration_and_contradictions_found_while_loading():
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


@pytest.mark.parametrize("nconfigs", [1, 2])
def test_lock_is_released_during_the_run(nconfigs):
    nvars, clauses = pigeonhole(7)
    configs = [cfg(), cfg(**CONFIGS["glucose-basic"])][:nconfigs]

    assert_lock_released(lambda: nn.solve_portfolio(nvars, clauses, configs)[2] is False or pytest.fail())
