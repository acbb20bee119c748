#!/usr/bin/env bash
# Build the module with AddressSanitizer + UndefinedBehaviorSanitizer and run
# the whole test suite against it (the native C++ test programs too, built
# from the same objects as the module, with the invariant asserts on).
#
#   tools/sanitize-test.sh [pytest arguments...]
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded.  Leak detection is off: the interpreter keeps objects alive at
# exit by design; leaks of the module are measured by tests/test_hostile.py.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
build=${BUILD_DIR:-build-sanitize}
cmake -S . -B "$build" -DNORVANE_SANITIZE=ON -DNORVANE_TESTS=ON -DNORVANE_WERROR="${NORVANE_WERROR:-OFF}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build "$build" -j "$(nproc)"
so=$(ls "$build"/norvane_native*.so | head -n 1)
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The native test programs are built in the same tree (tests/test_native.py runs them there).
export NORVANE_NATIVE_BUILD="$(cd "$build" && pwd)"
export PYTHONPATH="$(dirname "$so")${PYTHONPATH:+:$PYTHONPATH}"
echo "testing $so under AddressSanitizer + UndefinedBehaviorSanitizer"
"$PY" -c 'import norvane_native, sys; print(norvane_native.__file__, file=sys.stderr)'
exec "$PY" -m pytest tests -p no:cacheprovider "$@"
