"""Type information of the installed distribution (PEP 561): mypy and pyright find it for norvane
(py.typed) and norvane_native (the stub-only package norvane_native-stubs), and use it."""
import importlib.util
import re
import shutil
import subprocess
import sys

import pytest

USER_CODE = '''
import norvane
import norvane_native
from norvane import CNF, Solver, check_proof

with Solver(CNF([[1, -2], [2]]), restart="glucose") as s:
    answer: bool | None = s.solve(assumptions=[1])
    model: list[int] | None = s.model
result: norvane.CheckResult = check_proof(CNF([[1], [-1]]), [(False, [])])
flag: bool = result.ok
lit: int = norvane_native.to_dimacs(3)
panic: type[BaseException] = norvane.PanicException
wrong1: str = norvane_native.to_dimacs(3)
wrong2: str = result.steps
'''


pytestmark = pytest.mark.skipif(importlib.util.find_spec("norvane_native-stubs") is None,
                                reason="norvane is not installed (with its stubs)")


CHECKERS = {"mypy": ["--no-incremental", "--python-executable", sys.executable, "--python-version", "3.10"],
            "pyright": ["--pythonpath", sys.executable]}


@pytest.mark.parametrize("checker", CHECKERS)
def test_type_checkers_find_both_packages(checker, tmp_path):
    if importlib.util.find_spec(checker) is None or (checker == "pyright" and shutil.which("node") is None):
        pytest.skip(f"{checker} is not installed")
    (tmp_path / "user.py").write_text(USER_CODE)
    r = subprocess.run([sys.executable, "-m", checker, *CHECKERS[checker], "user.py"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=600)
    out = r.stdout + r.stderr
    lines = [int(m) for m in re.findall(r"user\.py:(\d+):(?:\d+ -)? error", out)]
    # exactly the two deliberate mistakes, found through the packages' own type information
    assert len(lines) == 2 and all("wrong" in USER_CODE.splitlines()[n - 1] for n in lines), out
    assert "stub" not in out and "import" not in out, out
