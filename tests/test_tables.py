"""The engine's option and counter tables: the checked-in stub is what tools/gen_stub.py makes of
them, what the script reads from the C++ tables is what the built engine reports, and the
exported tables agree with the constructor's signature."""
import inspect
import subprocess
import sys
from pathlib import Path

import norvane_native as nn

TOOLS = Path(__file__).resolve().parents[1] / "tools"
sys.path.insert(0, str(TOOLS))
import gen_stub  # noqa: E402

PYTHON_KIND = {"str": str, "bool": bool, "u32": int, "u64": int, "f64": float}


def test_stub_is_what_the_script_makes_of_the_tables():
    r = subprocess.run([sys.executable, str(TOOLS / "gen_stub.py"), "--check"], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def test_tables_agree_with_the_engine():
    params = list(inspect.signature(nn.Solver).parameters.values())
    assert params[0].name == "nvars"
    exported = [(p.name, repr(p.default).replace("'", '"')) for p in params[1:]]
    assert [(name, default) for name, _, default, _ in gen_stub.options()] == exported
    assert [(name, h) for name, _, _, h in gen_stub.options()] == [(row[0], row[4]) for row in nn.SOLVER_OPTIONS]
    for (name, kind, default, words, _), p in zip(nn.SOLVER_OPTIONS, params[1:], strict=True):
        assert (name, default) == (p.name, p.default) and type(default) is PYTHON_KIND[kind]
        assert (default in words) if kind == "str" else words == ()
    assert gen_stub.counters() == list(nn.SOLVER_COUNTERS)
    assert all(type(getattr(nn.Solver(), name)) is int for name in nn.SOLVER_COUNTERS)
