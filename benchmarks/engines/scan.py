"""A list comprehension over the objects: no index at all."""

from __future__ import annotations

from ..queries import And, Between, Cmp, In, Not, Or, OwnerRef
from .base import Engine


def compile_predicate(expr, owners, schema):
    """Turn an expression into Python source plus bound values."""
    values = []

    def bind(v):
        if isinstance(v, OwnerRef):
            v = owners[v.pos]
        values.append(v)
        return f"v{len(values) - 1}"

    def through_ref(e, test):
        """``test`` guarded against an item that holds no nested object: a
        path through None matches nothing, and so ``!=`` on it matches."""
        head = e.attr.split(".", 1)[0]
        if "." not in e.attr or head not in schema.missing:
            return test
        if isinstance(e, Cmp) and e.op == "!=":
            return f"o.{head} is None or {test}"
        return f"o.{head} is not None and {test}"

    def src(e):
        if isinstance(e, Cmp):
            op = "is" if e.op == "==" and e.attr == schema.ref else e.op
            return through_ref(e, f"o.{e.attr} {op} {bind(e.value)}")
        if isinstance(e, In):
            vals = [owners[v.pos] if isinstance(v, OwnerRef) else v for v in e.values]
            return through_ref(e, f"o.{e.attr} in {bind(frozenset(vals))}")
        if isinstance(e, Between):
            return through_ref(e, f"{bind(e.lo)} <= o.{e.attr} <= {bind(e.hi)}")
        if isinstance(e, And):
            return " and ".join(f"({src(c)})" for c in e.children)
        if isinstance(e, Or):
            return " or ".join(f"({src(c)})" for c in e.children)
        if isinstance(e, Not):
            return f"not ({src(e.child)})"
        raise TypeError(e)

    return src(expr), values


class ScanEngine(Engine):
    name = "scan"
    label = "list comprehension scan"

    def build(self, items, owners):
        self.items = list(items)
        self.owners = owners

    def prepare(self, query):
        cond, values = compile_predicate(query.expr, self.owners, self.schema)
        params = ", ".join(f"v{i}" for i in range(len(values)))
        code = f"def _q(objs, {params}):\n    return [o for o in objs if {cond}]\n"
        ns = {}
        exec(code, ns)
        fn, items = ns["_q"], self.items
        return lambda: fn(items, *values)

    def write(self, batch):
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)

    def close(self):
        self.items = None
