"""Translate expression trees into SQL WHERE clauses (sqlite3 and DuckDB).

Tables: items(<position>, <the schema's columns>, <reference>) where the
reference column holds the nested object's position (NULL for none), and
the nested objects' table (``schema.ref_table``: id and their columns).  A
dotted path ``ref.X`` becomes ``ref IN (SELECT id FROM <ref_table> WHERE X
...)``.

NaN and None are stored as NULL, and SQL's NULL is neither true nor false,
so conditions on attributes that may be missing are written to give what
``queries.matches`` gives: ``!=`` is ``NOT COALESCE(x = v, FALSE)`` (true
for NULL), and any condition under NOT is ``COALESCE(cond, FALSE)`` (so
``NOT (x > 5)`` is true for NULL).  Outside NOT a NULL condition filters
the row out as FALSE would, so those are left as they are (and keep their
index).
"""

from __future__ import annotations

from ..queries import And, Between, Cmp, In, Not, Or, OwnerRef


def _val(v):
    return v.pos if isinstance(v, OwnerRef) else v


def _leaf(expr, schema, params, ph):
    def sql(attr, cond_fmt, *vals):
        params.extend(_val(v) for v in vals)
        if "." in attr:
            head, tail = attr.split(".", 1)
            return (f"{head} IN (SELECT id FROM {schema.ref_table} "
                    f"WHERE {cond_fmt.format(tail)})")
        return cond_fmt.format(attr)

    if isinstance(expr, Cmp):
        op = "<>" if expr.op == "!=" else ("=" if expr.op == "==" else expr.op)
        return sql(expr.attr, "{} %s %s" % (op, ph), expr.value)
    if isinstance(expr, In):
        marks = ", ".join([ph] * len(expr.values))
        return sql(expr.attr, "{} IN (%s)" % marks, *expr.values)
    return sql(expr.attr, "{} BETWEEN %s AND %s" % (ph, ph), expr.lo, expr.hi)


def where(expr, schema, params: list, ph: str = "?", negated: bool = False) -> str:
    if isinstance(expr, (Cmp, In, Between)):
        if not schema.may_be_missing(expr.attr):
            return _leaf(expr, schema, params, ph)
        if isinstance(expr, Cmp) and expr.op == "!=":
            eq = _leaf(Cmp(expr.attr, "==", expr.value), schema, params, ph)
            return f"NOT COALESCE({eq}, FALSE)"
        cond = _leaf(expr, schema, params, ph)
        return f"COALESCE({cond}, FALSE)" if negated else cond
    if isinstance(expr, And):
        return " AND ".join(f"({where(c, schema, params, ph, negated)})" for c in expr.children)
    if isinstance(expr, Or):
        return " OR ".join(f"({where(c, schema, params, ph, negated)})" for c in expr.children)
    if isinstance(expr, Not):
        return f"NOT ({where(expr.child, schema, params, ph, True)})"
    raise TypeError(expr)
