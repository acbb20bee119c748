"""Search options of the engine's solver: names and defaults read from the engine itself.

The option names and defaults come from the signature of `norvane_native.Solver`, so this
module never holds a copy that could drift; it adds a one-line description per option and the
diversified configurations `solve_portfolio(formula, n)` races (the pipeline races its own measured set).
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import norvane_native as _nn

from ._native import signature_defaults

#: Every search option of the engine with its default, in the engine's order.
DEFAULTS: dict[str, Any] = {name: v for name, v in signature_defaults(_nn.Solver).items() if name != "nvars"}

#: Accepted values of the two options that take a word.
CHOICES: dict[str, tuple[str, ...]] = {
    "restart": ("glucose", "luby", "none"),
    "ccmin": ("deep", "basic", "none"),
}

#: One line of help per option.
HELP: dict[str, str] = {
    "restart": "restart policy: glucose (glue averages), luby (Luby sequence) or none",
    "ccmin": "learned-clause minimisation: deep (recursive), basic (one level) or none",
    "phase_saving": "remember each variable's last value when backtracking",
    "init_phase": "initial saved value of every variable (true = positive)",
    "target_phase": "decide with the target phase of the best trail seen",
    "target_reset": "forget the best trail every N-th restart (0 = never)",
    "walk_flips": "flip budget of one local-search phase walk (0 = no walk)",
    "walk_interval": "consider a walk at every N-th restart",
    "walk_patience": "stop walking after this many walks in a row without a new best",
    "walk_min_conflicts": "no walk before this many conflicts",
    "var_decay": "starting variable activity decay factor",
    "var_decay_max": "largest variable activity decay factor",
    "cla_decay": "learned-clause activity decay factor",
    "luby_base": "conflicts per Luby unit",
    "first_reduce": "conflicts before the first learned-clause reduction",
    "reduce_inc": "growth step of the reduction schedule",
    "glue_keep": "never reduce learned clauses of at most this glue",
    "block_restart": "block restarts while the trail is unusually long",
    "rnd_freq": "probability of a random decision",
    "rnd_seed": "seed of the random generator",
}

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
