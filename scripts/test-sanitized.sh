#!/usr/bin/env bash
# Runs every test again under AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ core tests (ctest) and the Python tests (pytest) against a
# sanitized build of the extension. Everything is built in build/sanitized;
# the extension installed in .venv (used by scripts/test.sh) is not touched:
# the sanitized one is put ahead of it on PYTHONPATH.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! .venv/bin/python -c 'import pytest, hypothesis' >/dev/null 2>&1; then
    scripts/setup.sh test
fi

build=build/sanitized
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVALEX_SANITIZE=ON -DCORVALEX_BUILD_TESTS=ON -DCORVALEX_BUILD_EXTENSION=ON \
    -DCORVALEX_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
# Test discovery runs the test binary, and the embedded interpreter keeps
# some allocations until exit: no leak report there.
ASAN_OPTIONS=detect_leaks=0 cmake --build "$build" -j2

# Any report ends the run with a failure. Undefined behaviour is built not
# to recover (CORVALEX_SANITIZE).
asan_common=halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The core tests check for leaks too, except in the interpreter itself.
ASAN_OPTIONS="$asan_common:detect_leaks=1" \
    LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-interpreter.supp:print_suppressions=0" \
    ctest --test-dir "$build" --output-on-failure -j2

# The interpreter is not built with ASan: the runtime must come first, and
# libstdc++ must be loaded before it starts or it cannot intercept C++
# exceptions. The interpreter's own allocations left at exit are not leaks
# of ours. Python objects are allocated with malloc so that ASan sees a
# use after free of one.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so.6)"
sanitized_python() {
    LD_PRELOAD="$preload" ASAN_OPTIONS="$asan_common:detect_leaks=0" PYTHONMALLOC=malloc \
        PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" CORVALEX_SANITIZE=1 \
        CORVALEX_TESTHOOKS_DIR="$PWD/$build" .venv/bin/python "$@"
}
module=$(sanitized_python -c 'import Corvalex; print(Corvalex.__file__)')
case "$module" in
    "$PWD/$build"/*) ;;
    *) echo "test-sanitized: imported $module instead of the sanitized build" >&2; exit 1 ;;
esac
sanitized_python -m pytest -q "$@"

# The id sets and the range tree under libFuzzer, against std::set models.
tests/fuzz/run.sh
