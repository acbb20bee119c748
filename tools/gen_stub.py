#!/usr/bin/env python3
"""Write the solver's options and counters into the type stub from the engine's tables.

    python3 tools/gen_stub.py            # rewrite the generated blocks of the stub
    python3 tools/gen_stub.py --check    # exit 1, with a diff, when the stub differs

The tables are the X-macro lists of src/solver/config.hpp (NV_SOLVER_OPTIONS, one row per option:
name, C++ type, default, help; the words of an option that takes one in NV_<TYPE>_WORDS) and
src/solver/stats.hpp (NV_SOLVER_COUNTERS).  In src/lib/norvane_native.pyi each generated block
sits between a "# begin generated from <table> by tools/gen_stub.py" line and a
"# end generated" line; everything else in the stub is written by hand.  The test suite runs the
check, so a table changed without the stub fails CI.
"""
from __future__ import annotations

import difflib
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CONFIG = ROOT / "src" / "solver" / "config.hpp"
STATS = ROOT / "src" / "solver" / "stats.hpp"
STUB = ROOT / "src" / "lib" / "norvane_native.pyi"

_PY_TYPES = {"bool": "bool", "uint32_t": "int", "uint64_t": "int", "double": "float"}


def _macro(text: str, name: str) -> str:
    """The body of `#define name(X) ...`, continuation lines joined."""
    m = re.search(rf"^#define {name}\(X\)((?:.*\\\n)*.*)$", text, re.M)
    if not m:
        raise SystemExit(f"gen_stub: no #define {name}(X) found")
    return m.group(1).replace("\\\n", "\n")


def options(text: str | None = None) -> list[tuple[str, str, str, str]]:
    """(name, Python type, default as Python writes it, help) for every option, in table order."""
    text = CONFIG.read_text() if text is None else text
    rows = []
    for name, ctype, default, help_text in re.findall(r'X\((\w+), (\w+), ([^,]+), "((?:[^"\\]|\\.)*)"\)',
                                                      _macro(text, "NV_SOLVER_OPTIONS")):
        default = default.strip()
        if ctype in _PY_TYPES:
            pytype = _PY_TYPES[ctype]
            value = {"bool": lambda d: {"true": True, "false": False}[d], "int": lambda d: int(d.rstrip("uUlL")),
                     "float": float}[pytype](default)
        else:  # an enumeration: its words are listed beside the table
            pytype = "str"
            words = dict(re.findall(r'X\((\w+), "([^"]*)"\)', _macro(text, f"NV_{ctype.upper()}_WORDS")))
            value = words[default.removeprefix(f"{ctype}::")]
        rows.append((name, pytype, repr(value).replace("'", '"'), help_text))
    return rows


def counters(text: str | None = None) -> list[str]:
    """The counter names, in table order."""
    text = STATS.read_text() if text is None else text
    return re.findall(r"X\((\w+), \w+\)", _macro(text, "NV_SOLVER_COUNTERS"))


def blocks() -> dict[str, list[str]]:
    """Generated lines by the table file named in their block's begin line."""
    return {
        "src/solver/config.hpp": [f"        {n}: {t} = {d}," for n, t, d, _ in options()],
        "src/solver/stats.hpp": [line for n in counters() for line in
                                 ("    @property", f"    def {n}(self) -> int: ...")],
    }


def render(stub: str) -> str:
    """`stub` with every generated block rewritten."""
    generated = blocks()
    out: list[str] = []
    lines = iter(stub.splitlines())
    for line in lines:
        out.append(line)
        m = re.search(r"# begin generated from (\S+) by tools/gen_stub\.py", line)
        if not m:
            continue
        for skipped in lines:
            if "# end generated" in skipped:
                break
        else:
            raise SystemExit(f"gen_stub: no '# end generated' after {line.strip()!r}")
        out += generated[m.group(1)] + [skipped]
    return "\n".join(out) + "\n"


def main(argv: list[str]) -> int:
    current = STUB.read_text()
    wanted = render(current)
    if "--check" in argv:
        if current != wanted:
            sys.stdout.writelines(difflib.unified_diff(current.splitlines(True), wanted.splitlines(True),
                                                       str(STUB), "generated"))
            print("gen_stub: the stub is out of date; run tools/gen_stub.py", file=sys.stderr)
            return 1
        return 0
    if current != wanted:
        STUB.write_text(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
