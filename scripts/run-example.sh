#!/usr/bin/env bash
# Runs the example: index objects and query them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test >/dev/null
.venv/bin/python examples/basic.py
