"""Search options of the engine's solver: names and defaults read from the engine itself.

The option names and defaults come from the signature of `norvane_native.Solver`, so this
module never holds a copy that could drift; it adds a one-line description per option and the
configurations a portfolio races (those of `norvane.solve()` and the command line), with the
reasons each one is there.
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

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

def check_names(options: Mapping[str, Any], where: str) -> None:
    """TypeError for a name that is not a search option."""
    for name in options:
        if name not in DEFAULTS:
            raise TypeError(f"{where} got an unexpected keyword argument {name!r}")


def complete(options: Mapping[str, Any], where: str = "options") -> dict[str, Any]:
    """The defaults with `options` merged over them."""
    check_names(options, where)
    return {**DEFAULTS, **options}


class Config(NamedTuple):
    """A portfolio configuration."""

    name: str
    options: dict[str, Any]
    """What it changes over the engine's defaults."""
    why: str
    """What it solves that the others do not."""


#: The portfolio's configurations, in the order workers take them: with N workers, the first N
#: race.  Chosen and ordered by measurement (bench/config_survey.py: each configuration alone on
#: both shared instance sets after preprocessing; the table is in README): each entry is the
#: one that adds the most instances solved within the survey's budget to those before it.
PORTFOLIO: list[Config] = [
    Config("default", {}, "the engine's defaults: the single solver's own run, so no instance is slower "
           "than with one solver by more than the start-up cost"),
    Config("glucose", {"restart": "glucose"}, "to be measured"),
]


def portfolio_configs(n: int, base: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """The complete options of `n` workers: the first `n` PORTFOLIO entries, `base` merged over
    the first one; beyond the list, its entries again with other seeds and a few random decisions."""
    if base:
        check_names(base, "options")
    out = []
    for i in range(n):
        cfg = {**DEFAULTS, **PORTFOLIO[i % len(PORTFOLIO)].options, **((base or {}) if i == 0 else {})}
        if i >= len(PORTFOLIO):
            cfg["rnd_seed"] = (cfg["rnd_seed"] + 7919 * i) % 2**32
            cfg["rnd_freq"] = max(cfg["rnd_freq"], 0.005)
        out.append(cfg)
    return out


def config_name(worker: int) -> str:
    """The name of the configuration portfolio_configs gives worker `worker`."""
    name = PORTFOLIO[worker % len(PORTFOLIO)].name
    return name if worker < len(PORTFOLIO) else f"{name}/{worker // len(PORTFOLIO) + 1}"
