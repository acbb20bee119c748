"""The C++ test programs of the native cores, built and run: tests/native/test_*.cpp as programs,
tests/native/dl_*.cpp as shared libraries that a Python process loads (as it loads the module) and
runs through their run_test()."""
import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
NATIVE = ROOT / "tests" / "native"
CORES = ["core", "solver", "checker", "preprocess", "portfolio"]
CXX = os.environ.get("CXX", "g++")
FLAGS = ["-std=c++20", "-O2", "-fPIC", "-Wall", "-Wextra", "-Werror", "-ffp-contract=off",
         *os.environ.get("NORVANE_NATIVE_CXXFLAGS", "").split()]

pytestmark = pytest.mark.skipif(shutil.which(CXX) is None, reason=f"{CXX} not available")


# The compiler itself must not run with a preloaded sanitizer runtime.
COMPILE_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def compile_one(src: Path, obj: Path):
    return subprocess.run([CXX, *FLAGS, "-c", str(src), "-o", str(obj)], capture_output=True, text=True,
                          env=COMPILE_ENV)


@pytest.fixture(scope="module")
def core_objects(tmp_path_factory):
    """Every native source compiled once, in parallel."""
    out = tmp_path_factory.mktemp("native-objs")
    sources = [p for core in CORES for p in sorted((ROOT / "src" / core).glob("*.cpp"))]
    objs = [out / f"{p.parent.name}_{p.stem}.o" for p in sources]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(compile_one, sources, objs))
    for src, r in zip(sources, results):
        assert r.returncode == 0, f"{src}:\n{r.stderr[-4000:]}"
    return [str(o) for o in objs]


@pytest.mark.parametrize("program", sorted(p.stem for p in NATIVE.glob("test_*.cpp")))
def test_native_program(program, core_objects, tmp_path):
    exe = tmp_path / program
    build = subprocess.run([CXX, *FLAGS, str(NATIVE / f"{program}.cpp"), *core_objects, "-o", str(exe),
                            "-lpthread"], capture_output=True, text=True, env=COMPILE_ENV)
    assert build.returncode == 0, build.stderr[-4000:]
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert run.returncode == 0, (run.stdout + run.stderr)[-4000:]


@pytest.mark.parametrize("library", sorted(p.stem for p in NATIVE.glob("dl_*.cpp")))
def test_native_library(library, core_objects, tmp_path):
    lib = tmp_path / f"{library}.so"
    build = subprocess.run([CXX, *FLAGS, "-shared", str(NATIVE / f"{library}.cpp"), *core_objects, "-o", str(lib),
                            "-lpthread"], capture_output=True, text=True, env=COMPILE_ENV)
    assert build.returncode == 0, build.stderr[-4000:]
    code = f"import ctypes, sys; sys.exit(ctypes.CDLL({str(lib)!r}).run_test())"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert run.returncode == 0, (run.returncode, (run.stdout + run.stderr)[-4000:])
