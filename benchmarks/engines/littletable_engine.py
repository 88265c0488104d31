"""littletable ``Table`` with an index per attribute.

Exact matches use ``Table.where(attr=value)`` (served by the indexes); any of
several values is a union of indexed lookups; ranges use the
``Table.within`` / ``Table.gt`` ... comparators and anything else a ``where``
predicate (both scan, as littletable has no ordered index).  Results come back
in insertion order, i.e. construction order.  Writes re-create the changed
attribute's index: littletable has no in-place re-index, and its
``remove``/``insert`` of one object is linear in the table size.
"""

from __future__ import annotations

from ..queries import And, Between, Cmp, In, OwnerRef
from .base import _SEQ, Engine
from .scan import compile_predicate

_CMP = {"<": "lt", "<=": "le", ">": "gt", ">=": "ge", "!=": "ne", "==": "eq"}


class LittletableEngine(Engine):
    name = "littletable"
    label = "littletable Table (index per attribute)"
    packages = ("littletable",)

    def build(self, items, owners):
        import littletable as lt
        self.lt = lt
        self.items = items
        self.owners = owners
        t = self.table = lt.Table("items")
        for attr in self.schema.attrs:
            t.create_index(attr)
        t.insert_many(items)

    def close(self):
        self.table = self.items = None

    def _val(self, v):
        return self.owners[v.pos] if isinstance(v, OwnerRef) else v

    def _kwarg(self, e):
        """``(attr, where-value)`` for a simple non-dotted node, else None."""
        if isinstance(e, (Cmp, Between)) and "." in e.attr:
            return None
        T = self.lt.Table
        if isinstance(e, Cmp):
            v = self._val(e.value)
            return (e.attr, v) if e.op == "==" else (e.attr, getattr(T, _CMP[e.op])(v))
        if isinstance(e, Between):
            return e.attr, T.within(e.lo, e.hi)
        return None

    def prepare(self, query):
        t, e = self.table, query.expr
        if isinstance(e, In) and "." not in e.attr:
            values = [self._val(v) for v in e.values]
            attr = e.attr

            def run_in():
                out = []
                for v in values:
                    out.extend(t.where(**{attr: v}))
                return sorted(out, key=_SEQ)
            return run_in
        children = e.children if isinstance(e, And) else (e,)
        kwargs, rest = {}, []
        for c in children:
            kv = self._kwarg(c)
            if kv is None or kv[0] in kwargs:
                rest.append(c)
            else:
                kwargs[kv[0]] = kv[1]
        fn = None
        if rest:
            rest_expr = rest[0] if len(rest) == 1 else And(tuple(rest))
            cond, values = compile_predicate(rest_expr, self.owners, self.schema)
            params = ", ".join(f"v{i}" for i in range(len(values)))
            ns = {}
            exec(f"def _mk({params}):\n    return lambda o: {cond}\n", ns)
            fn = ns["_mk"](*values)
        return lambda: list(t.where(fn, **kwargs))

    def write(self, batch):
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)
        self.table.create_index(attr, force=True)
