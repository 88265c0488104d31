#!/usr/bin/env bash
# Installs what building and testing need, then the package into .venv.
# Idempotent: packages already present are not fetched again.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
EXTRAS=${1:-test}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Another apt run (an unattended upgrade, a second checkout's set-up) may hold
# the package locks for a while, and apt gives up at once when it finds them
# held: wait for them, up to ten minutes. Any other failure stops set-up.
apt_waiting() {
    local attempt errors status
    errors=$(mktemp)
    for attempt in $(seq 1 120); do
        status=0
        DEBIAN_FRONTEND=noninteractive as_root apt-get "$@" 2>"$errors" || status=$?
        if [ "$status" -eq 0 ] || [ "$attempt" -eq 120 ] || ! grep -q "Could not get lock" "$errors"; then
            break
        fi
        echo "setup: waiting for another apt-get to finish" >&2
        sleep 5
    done
    cat "$errors" >&2
    rm -f "$errors"
    return "$status"
}

missing=()
for package in g++ libroaring-dev libgtest-dev libabsl-dev clang-format; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
include_dir=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$include_dir/Python.h" ] || missing+=(python3-dev)
"$PYTHON" -m venv --help >/dev/null 2>&1 && "$PYTHON" -c 'import ensurepip' >/dev/null 2>&1 \
    || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_waiting update -qq
    apt_waiting install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade "pip>=23" \
    "scikit-build-core>=0.8"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[${EXTRAS}]"
