#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the id sets and the range tree (clang 15 or
# newer, with AddressSanitizer and UBSan), replays the kept inputs under
# tests/fuzz/regressions, then fuzzes each harness for CORVALEX_FUZZ_SECONDS
# (default 30); then the same for the Python surface under atheris
# (fuzz_surface.py, against the extension installed in .venv). New inputs go to build/fuzz only; a crashing input is left in
# build/fuzz/artifacts and fails the run: copy it into tests/fuzz/regressions/<harness>
# once fixed, so that it is replayed from then on.
set -euo pipefail
cd "$(dirname "$0")/../.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# By hand a missing tool skips that part; under CI (CI=true) it fails the run,
# so that a green run always fuzzed.
unavailable() {
    if [ "${CI:-}" = true ]; then echo "fuzz: $1 could not be installed" >&2; exit 1; fi
    echo "fuzz: skipped, $1 could not be installed"
    exit 0
}

# std::source_location needs clang 15 or newer with libstdc++.
find_clang() {
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        command -v "$candidate" >/dev/null 2>&1 || continue
        major=$("$candidate" -dumpversion | cut -d. -f1)
        if [ "$major" -ge 15 ]; then echo "$candidate"; return 0; fi
    done
    return 1
}
if ! compiler=$(find_clang); then
    echo "fuzz: installing clang-16"
    { as_root apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq clang-16 libclang-rt-16-dev \
            >/dev/null; } || true
fi
compiler=$(find_clang) || unavailable "clang 15 or newer"

out=build/fuzz
rm -rf "$out/artifacts"
mkdir -p "$out/artifacts"
seconds=${CORVALEX_FUZZ_SECONDS:-30}

# fuzz NAME COMMAND...: replays the kept inputs of NAME, then fuzzes it.
fuzz() {
    local name=$1 kept="tests/fuzz/regressions/$1"
    shift
    mkdir -p "$kept" "$out/corpus/$name"
    if compgen -G "$kept/*" >/dev/null; then
        "$@" "$kept"/* >/dev/null 2>&1 || { echo "fuzz: a kept $name input fails" >&2; exit 1; }
    fi
    echo "fuzz: $name for $seconds s"
    "$@" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
        "$out/corpus/$name" "$kept" 2>&1 |
        grep -E "^(stat::number_of_executed_units|stat::new_units_added)|DONE|ERROR|SUMMARY|Error|Traceback" || true
    if compgen -G "$out/artifacts/*" >/dev/null; then
        echo "fuzz: crashing inputs left in $out/artifacts" >&2
        exit 1
    fi
}

# The harnesses link the data-structure layer, which needs no interpreter.
sources=$(echo src/structures/*.cpp)
for harness in hybrid_set range_tree; do
    # shellcheck disable=SC2086
    "$compiler" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -Isrc -Itests/cpp/structures "tests/fuzz/fuzz_$harness.cpp" $sources -lroaring \
        -o "$out/fuzz_$harness"
    fuzz "$harness" "$out/fuzz_$harness"
done

python=.venv/bin/python
if ! "$python" -c 'import atheris' >/dev/null 2>&1; then
    "$python" -m pip install -q --disable-pip-version-check atheris >/dev/null 2>&1 || true
fi
"$python" -c 'import atheris' >/dev/null 2>&1 || unavailable atheris
fuzz surface "$python" tests/fuzz/fuzz_surface.py
