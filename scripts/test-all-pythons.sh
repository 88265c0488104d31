#!/usr/bin/env bash
# Builds the module and runs the Python tests on every supported CPython
# found: python3 on the path, pyenv's 3.11 and newer, and a free-threaded
# build where one is installed. Each gets its own virtual environment,
# .venv-X.Y (X.Yt for a free-threaded one), and its own build directory,
# build/python-X.Y, reused by later runs. Extra arguments go to pytest.
# Prints one summary line per interpreter and fails if any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test >/dev/null  # the system packages a build needs

candidates=(python3)
for root in "${PYENV_ROOT:-$HOME/.pyenv}/versions"/*; do
    for name in python3 python3t; do
        [ -x "$root/bin/$name" ] && candidates+=("$root/bin/$name")
    done
done
for name in python3.13t python3.14t; do
    command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
done

declare -A seen=()
summaries=()
failed=0
for python in "${candidates[@]}"; do
    tag=$("$python" -c 'import sys, sysconfig
if sys.version_info >= (3, 11):
    free = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(f"{sys.version_info[0]}.{sys.version_info[1]}{free}")' 2>/dev/null) || continue
    [ -n "$tag" ] || continue
    [ -z "${seen[$tag]:-}" ] || continue
    seen[$tag]=1
    venv=".venv-$tag"
    echo "== CPython $tag ($python) in $venv"
    log="build/test-python-$tag.log"
    mkdir -p build
    if ! { [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"; } ||
        ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade "pip>=23" \
            "scikit-build-core>=0.8" ||
        ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
            --config-settings=build-dir="build/python-$tag/{wheel_tag}" ".[test]"; then
        summaries+=("$tag: build failed")
        failed=1
        continue
    fi
    set +e
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" 2>&1 | tee "$log" | tail -n 3
    status=${PIPESTATUS[0]}
    set -e
    summaries+=("$tag: $(grep -E '(passed|failed|error)' "$log" | tail -n 1)")
    [ "$status" -eq 0 ] || failed=1
done

echo "== summary"
printf '%s\n' "${summaries[@]}"
exit "$failed"
