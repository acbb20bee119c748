"""Search options of the engine's solver: names and defaults read from the engine itself.

The option names and defaults come from the signature of `norvane_native.Solver`, their words
and one-line descriptions from the engine's option table, so this module never holds a copy that
could drift; it adds the diversified configurations `solve_portfolio(formula, n)` races (the
pipeline races its own measured set).
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import norvane_native as _nn

from ._native import signature_defaults

#: Every search option of the engine with its default, in the engine's order.
DEFAULTS: dict[str, Any] = {name: v for name, v in signature_defaults(_nn.Solver).items() if name != "nvars"}

#: Accepted words of the options that take one, and one line of help per option, both from the
#: engine's option table.
CHOICES: dict[str, tuple[str, ...]] = {row[0]: row[3] for row in _nn.SOLVER_OPTIONS if row[3]}
HELP: dict[str, str] = {row[0]: row[4] for row in _nn.SOLVER_OPTIONS}

# What each portfolio worker changes over the base configuration; beyond the list, workers
# repeat it with other seeds and some random decisions.
_VARIANTS: list[dict[str, Any]] = [
    {},
    {"restart": "glucose", "target_phase": False},
    {"restart": "luby", "luby_base": 512.0, "ccmin": "basic"},
    {"rnd_freq": 0.01, "rnd_seed": 7, "init_phase": True},
    {"restart": "glucose", "walk_min_conflicts": 1000},
    {"target_phase": False, "phase_saving": True, "var_decay_max": 0.99},
    {"restart": "luby", "luby_base": 50.0, "rnd_freq": 0.02, "rnd_seed": 12345},
    {"restart": "glucose", "ccmin": "none", "init_phase": True},
]


def check_names(options: Mapping[str, Any], where: str) -> None:
    """TypeError for a name that is not a search option."""
    for name in options:
        if name not in DEFAULTS:
            raise TypeError(f"{where} got an unexpected keyword argument {name!r}")


def complete(options: Mapping[str, Any], where: str = "options") -> dict[str, Any]:
    """The defaults with `options` merged over them."""
    check_names(options, where)
    return {**DEFAULTS, **options}


def portfolio_configs(n: int, base: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """`n` diversified worker configurations; the first one is `base` (the defaults if omitted)."""
    first = complete(base or {})
    out = []
    for i in range(n):
        cfg = {**first, **_VARIANTS[i % len(_VARIANTS)]}
        if i >= len(_VARIANTS):
            cfg["rnd_seed"] = (cfg["rnd_seed"] + 7919 * i) % 2**32
            cfg["rnd_freq"] = max(cfg["rnd_freq"], 0.005)
        out.append(cfg)
    return out
