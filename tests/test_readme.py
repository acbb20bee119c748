"""What users read: the README, whose Python examples run as written, and the types (PEP 561) of both packages."""
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
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

CHECKERS = {"mypy": ["--no-incremental", "--python-executable", sys.executable, "--python-version", "3.10"],
            "pyright": ["--pythonpath", sys.executable]}


def test_readme_starts_with_the_two_commands_and_its_python_blocks_run(capsys, tmp_path, monkeypatch):
    text = README.read_text()
    first = re.search(r"```sh\n(.*?)```", text, re.S).group(1).splitlines()
    assert first[0].split("#")[0].split("&&")[-1].split() == ["norvane", "solve"] and "pytest" in first[1]
    monkeypatch.chdir(tmp_path)  # the examples write files
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= 12
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)  # noqa: S102 - our own documentation


@pytest.mark.skipif(importlib.util.find_spec("norvane_native-stubs") is None,
                    reason="norvane is not installed (with its stubs)")
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
