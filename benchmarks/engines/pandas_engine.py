"""pandas: one DataFrame row per object, boolean masks (``==``, ``.isin``,
``.between``), results gathered from an object column.

``colour`` (10 distinct strings) is a categorical; ``owner`` is the owner's
position in an owners DataFrame; a dotted path evaluates the condition on the
owners and indexes that mask by the items' owner positions.
"""

from __future__ import annotations

import dataclasses

from ..queries import OPS, And, Between, Cmp, In, Not, Or, OwnerRef
from ..workload import COLOURS
from .base import Engine


class PandasEngine(Engine):
    name = "pandas"
    label = "pandas boolean masks"
    packages = ("pandas", "numpy")

    def build(self, items, owners):
        import numpy as np
        import pandas as pd
        self.items = items
        self.objs = np.array(items, dtype=object)  # gathered by mask
        self.df = pd.DataFrame({
            # Every colour is a category, so a write may bring in one the
            # objects did not have.
            "colour": pd.Categorical([o.colour for o in items], categories=COLOURS),
            "size": np.fromiter((o.size for o in items), dtype=np.int64, count=len(items)),
            "price": np.fromiter((o.price for o in items), dtype=np.float64, count=len(items)),
            "name": pd.array([o.name for o in items], dtype="str"),
            "flag": np.fromiter((o.flag for o in items), dtype=np.int8, count=len(items)),
            "owner": np.fromiter((o.owner.oid for o in items), dtype=np.int32, count=len(items)),
        })
        self.owners = pd.DataFrame({
            "name": pd.array([w.name for w in owners], dtype="str"),
            "age": np.array([w.age for w in owners], dtype=np.int64),
        })

    def close(self):
        self.df = self.objs = self.items = None

    def _mask(self, e, df=None):
        df = self.df if df is None else df
        if isinstance(e, (Cmp, In, Between)):
            if "." in e.attr:
                # Evaluate the condition on the owners, then look each item's
                # owner position up in that mask.
                import pandas as pd
                head, tail = e.attr.split(".", 1)
                sub = dataclasses.replace(e, attr=tail)
                owner_ok = self._mask(sub, self.owners).to_numpy()
                return pd.Series(owner_ok[df[head].to_numpy()], index=df.index)
            col = df[e.attr]
            if isinstance(e, Cmp):
                v = e.value.pos if isinstance(e.value, OwnerRef) else e.value
                return OPS[e.op](col, v)
            if isinstance(e, In):
                return col.isin([v.pos if isinstance(v, OwnerRef) else v for v in e.values])
            return col.between(e.lo, e.hi)  # inclusive on both ends
        if isinstance(e, And):
            m = self._mask(e.children[0], df)
            for c in e.children[1:]:
                m = m & self._mask(c, df)
            return m
        if isinstance(e, Or):
            m = self._mask(e.children[0], df)
            for c in e.children[1:]:
                m = m | self._mask(c, df)
            return m
        if isinstance(e, Not):
            return ~self._mask(e.child, df)
        raise TypeError(e)

    def prepare(self, query):
        expr = query.expr

        def run():
            return self.objs[self._mask(expr).to_numpy()].tolist()
        return run

    def write(self, batch):
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)
        self.df.loc[batch.positions, attr] = batch.values
