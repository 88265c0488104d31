#!/usr/bin/env bash
# Runs every test: the C++ core tests (ctest) and the Python tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

# C++ sources are formatted as .clang-format says, and no include goes up
# the layers.
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror
.venv/bin/python scripts/check-layers.py

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVALEX_BUILD_TESTS=ON -DCORVALEX_BUILD_EXTENSION=OFF -DCORVALEX_WARNINGS_AS_ERRORS=ON \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

CORVALEX_TESTHOOKS_DIR="$PWD/build/tests" .venv/bin/python -m pytest -q "$@"
