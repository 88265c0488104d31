"""Translate expression trees into SQL WHERE clauses (sqlite3 and DuckDB).

Tables: items(<position>, colour, size, price, name, flag, owner) where
``owner`` is the owner's position, and owners(id, name, age).  A dotted path
``owner.X`` becomes ``owner IN (SELECT id FROM owners WHERE X ...)``.
"""

from __future__ import annotations

from ..queries import And, Between, Cmp, In, Not, Or, OwnerRef


def _val(v):
    return v.pos if isinstance(v, OwnerRef) else v


def where(expr, params: list, ph: str = "?") -> str:
    def leaf(attr, cond_fmt, *vals):
        params.extend(_val(v) for v in vals)
        if "." in attr:
            head, tail = attr.split(".", 1)
            return f"{head} IN (SELECT id FROM owners WHERE {cond_fmt.format(tail)})"
        return cond_fmt.format(attr)

    if isinstance(expr, Cmp):
        op = "<>" if expr.op == "!=" else ("=" if expr.op == "==" else expr.op)
        return leaf(expr.attr, "{} %s %s" % (op, ph), expr.value)
    if isinstance(expr, In):
        marks = ", ".join([ph] * len(expr.values))
        return leaf(expr.attr, "{} IN (%s)" % marks, *expr.values)
    if isinstance(expr, Between):
        return leaf(expr.attr, "{} BETWEEN %s AND %s" % (ph, ph), expr.lo, expr.hi)
    if isinstance(expr, And):
        return " AND ".join(f"({where(c, params, ph)})" for c in expr.children)
    if isinstance(expr, Or):
        return " OR ".join(f"({where(c, params, ph)})" for c in expr.children)
    if isinstance(expr, Not):
        return f"NOT ({where(expr.child, params, ph)})"
    raise TypeError(expr)
