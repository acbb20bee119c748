"""The README's Python examples run as written."""
import re
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"


def test_readme_python_blocks_run(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the examples write files
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert len(blocks) >= 12
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)  # noqa: S102 - our own documentation


def test_readme_starts_with_the_two_commands():
    text = README.read_text()
    first = re.search(r"```sh\n(.*?)```", text, re.S).group(1).splitlines()
    assert first[0].split("#")[0].split("&&")[-1].split() == ["norvane", "solve"]
    assert "pytest" in first[1]
