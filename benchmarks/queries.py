"""The fixed query set, as small engine-neutral expression trees.

Each engine translates these trees into its own idiom (a dict lookup, a
comprehension, SQL, a pandas mask, ...).  Every query names the Corvalex
features it ``requires``; a query runs on Corvalex only once the module
advertises those features (see ``engines.corvalex.detect_features``), while
peers run every query.  New workloads are added by appending to ``QUERIES``.

Features:
  keyword        Index.get_by_attribute(**kw): exact and multi-value matches
  object_values  keyword lookups whose value is another Indexable (owner=...)
  range          PyQueryExpr comparisons: bt/gt/ge/lt/le/ne via reduced_query
  boolean        PyQueryExpr.and_/or_/not_
  dotted         dotted attribute paths such as 'owner.age'
  writes         assigning o.attr updates the index automatically
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from .workload import Workload


# --------------------------------------------------------------------------
# Expression tree
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class OwnerRef:
    """A value that is one of the owner objects (each engine resolves it)."""
    pos: int


@dataclass(frozen=True)
class Cmp:
    """``attr OP value``; OP in ==, !=, <, <=, >, >=.  attr may be dotted."""
    attr: str
    op: str
    value: Any


@dataclass(frozen=True)
class In:
    attr: str
    values: tuple


@dataclass(frozen=True)
class Between:
    """Closed range: lo <= attr <= hi."""
    attr: str
    lo: Any
    hi: Any


@dataclass(frozen=True)
class And:
    children: tuple


@dataclass(frozen=True)
class Or:
    children: tuple


@dataclass(frozen=True)
class Not:
    child: Any


def Eq(attr, value):
    return Cmp(attr, "==", value)


OPS = {"==": operator.eq, "!=": operator.ne, "<": operator.lt,
       "<=": operator.le, ">": operator.gt, ">=": operator.ge}


# --------------------------------------------------------------------------
# Query registry
# --------------------------------------------------------------------------

@dataclass
class BenchQuery:
    key: str
    label: str
    expr: Any
    requires: frozenset
    # For keyword lookups: the get_by_attribute(**keyword) form.  Values are
    # a scalar, a list (any of several values) or an OwnerRef.
    keyword: Optional[dict] = None
    notes: str = ""


def _kw_expr(kw):
    parts = []
    for attr, v in kw.items():
        if isinstance(v, list):
            parts.append(In(attr, tuple(v)))
        else:
            parts.append(Eq(attr, v))
    return parts[0] if len(parts) == 1 else And(tuple(parts))


def keyword_query(key, label, kw, requires=("keyword",), notes=""):
    return BenchQuery(key, label, _kw_expr(kw), frozenset(requires), dict(kw), notes)


def expr_query(key, label, expr, requires, notes=""):
    return BenchQuery(key, label, expr, frozenset(requires), None, notes)


SIZES_IN = [3, 17, 101, 256, 333, 512, 640, 777, 888, 999]


def build_queries(w: Workload) -> list[BenchQuery]:
    """The query set for workload ``w``.

    Values are taken from objects of the workload so that every query (but
    the miss) matches something even at small N.
    """
    n = w.n
    name = w.name[n // 2]
    size = w.size[n // 3]
    k = n // 5
    pair_colour, pair_size = w.colour[k], w.size[k]
    owner = w.owner[n // 7]
    owner_name = w.owner_name[w.owner[n // 11]]
    return [
        # -- keyword lookups ------------------------------------------------
        keyword_query("name_eq", "name = <existing> (selective)", {"name": name}),
        keyword_query("size_eq", f"size = {size} (~0.1%)", {"size": size}),
        keyword_query("colour_eq", "colour = 'red' (~10%)", {"colour": "red"}),
        keyword_query("size_in", "size in 10 values (~1%)", {"size": list(SIZES_IN)}),
        keyword_query("colour_size", f"colour = '{pair_colour}' and size = {pair_size} (~0.01%)",
                      {"colour": pair_colour, "size": pair_size}),
        keyword_query("colour_flag", "colour = 'blue' and flag = 1 (~5%)",
                      {"colour": "blue", "flag": 1}),
        keyword_query("miss", "name = <absent> (no match)", {"name": "no-such-name"}),
        keyword_query("owner_eq", "owner = <owner object> (~0.1%)", {"owner": OwnerRef(owner)},
                      requires=("keyword", "object_values")),
        # -- expression queries (activate when Corvalex supports them) -----
        expr_query("size_between", "100 <= size <= 199 (closed, ~10%)",
                   Between("size", 100, 199), ("range",)),
        expr_query("size_between_1pct", "300 <= size <= 309 (closed, ~1%)",
                   Between("size", 300, 309), ("range",)),
        expr_query("price_gt", "price > 990.0 (open, ~1%)", Cmp("price", ">", 990.0), ("range",)),
        expr_query("size_lt", "size < 5 (open, ~0.5%)", Cmp("size", "<", 5), ("range",)),
        expr_query("bool_not", "(red or blue) and not flag = 1 and size < 500 (~5%)",
                   And((Or((Eq("colour", "red"), Eq("colour", "blue"))),
                        Not(Eq("flag", 1)),
                        Cmp("size", "<", 500))),
                   ("range", "boolean")),
        expr_query("owner_age", "owner.age >= 85 (dotted, ~8%)",
                   Cmp("owner.age", ">=", 85), ("range", "dotted")),
        expr_query("owner_name", f"owner.name = '{owner_name}' (dotted, ~0.1%)",
                   Eq("owner.name", owner_name), ("dotted",)),
    ]


# Writes are timed as their own workload: set `size` on 10% of the objects,
# keeping the engine's index in sync.  Requires the "writes" feature.
WRITES_REQUIRES = frozenset({"writes"})


# --------------------------------------------------------------------------
# Reference evaluation: a deliberately naive interpreter over plain objects.
#
# NaN compares as in Python: ==, <, <=, >, >= and ranges are false, != is
# true (it is the complement of ==).  A dotted path through None (an item
# without a nested object) has no value: every condition on it is false but
# !=, which is true.  not_ is the complement of its condition, so it is true
# for NaN and for such paths.
# --------------------------------------------------------------------------

NO_VALUE = object()  # what a dotted path through None reads


def _get(obj, attr):
    for part in attr.split("."):
        if obj is None:
            return NO_VALUE
        obj = getattr(obj, part)
    return obj


def _resolve(value, owners):
    return owners[value.pos] if isinstance(value, OwnerRef) else value


def matches(expr, obj, owners) -> bool:
    if isinstance(expr, (Cmp, In, Between)):
        v = _get(obj, expr.attr)
        if v is NO_VALUE:
            return isinstance(expr, Cmp) and expr.op == "!="
        if isinstance(expr, Cmp):
            return OPS[expr.op](v, _resolve(expr.value, owners))
        if isinstance(expr, In):
            return any(v == _resolve(x, owners) for x in expr.values)
        return expr.lo <= v <= expr.hi
    if isinstance(expr, And):
        return all(matches(c, obj, owners) for c in expr.children)
    if isinstance(expr, Or):
        return any(matches(c, obj, owners) for c in expr.children)
    if isinstance(expr, Not):
        return not matches(expr.child, obj, owners)
    raise TypeError(f"unknown expression {expr!r}")


def reference_positions(expr, items, owners) -> list[int]:
    """Positions (construction order) of the plain ``items`` matching ``expr``."""
    return [i for i, o in enumerate(items) if matches(expr, o, owners)]


def attrs_of(expr) -> set:
    """Attribute names (first path component) an expression touches."""
    if isinstance(expr, (Cmp, In, Between)):
        return {expr.attr}
    if isinstance(expr, (And, Or)):
        out = set()
        for c in expr.children:
            out |= attrs_of(c)
        return out
    if isinstance(expr, Not):
        return attrs_of(expr.child)
    raise TypeError(expr)
