"""The C++ test programs of the native cores (tests/native), built by CMake from the module's own
objects and run by ctest: in NORVANE_NATIVE_BUILD when set (tools/sanitize-test.sh), otherwise in
build-native-tests, configured here with warnings as errors and the invariant asserts on."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent
CMAKE = shutil.which("cmake", path=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
CTEST = CMAKE and str(Path(CMAKE).with_name("ctest"))

pytestmark = pytest.mark.skipif(CMAKE is None, reason="cmake not available")

# No preloaded sanitizer runtime for the compiler and ctest: the tests that need one get it from ctest.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run(*cmd):
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, env=ENV, timeout=1800)
    assert r.returncode == 0, (r.stdout + r.stderr)[-6000:]


def test_native_programs():
    build = os.environ.get("NORVANE_NATIVE_BUILD")
    if not build:
        build = ROOT / "build-native-tests"
        run(CMAKE, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DNORVANE_TESTS=ON",
            "-DNORVANE_ASSERTS=ON", "-DNORVANE_WERROR=ON", f"-DPython_EXECUTABLE={sys.executable}")
    run(CMAKE, "--build", build, "--target", "norvane_native_tests", "-j", os.cpu_count() or 2)
    run(CTEST, "--test-dir", build, "--output-on-failure", "--timeout", "600", "-j", os.cpu_count() or 2)
