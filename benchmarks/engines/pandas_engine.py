"""pandas: one DataFrame row per object, boolean masks (``==``, ``.isin``,
``.between``), results gathered from an object column.

Few-valued strings (``colour``) are categoricals; the reference attribute is
the nested object's position in a second DataFrame (-1 for none); a dotted
path evaluates the condition on the nested objects and indexes that mask by
the items' positions, a position of -1 reading an extra False at the end.
NaN compares false (and ``!=`` true) in pandas as in Python; ``!=`` on a
dotted path is the complement of ``==``, so it is true for items without a
nested object.
"""

from __future__ import annotations

import dataclasses
from operator import attrgetter

from ..queries import OPS, And, Between, Cmp, In, Not, Or, OwnerRef
from .base import Engine

NUMPY_TYPES = {"int": "int64", "int8": "int8", "float": "float64"}


class PandasEngine(Engine):
    name = "pandas"
    label = "pandas boolean masks"
    packages = ("pandas", "numpy")

    def build(self, items, owners):
        import numpy as np
        import pandas as pd
        s = self.schema
        self.items = items
        self.objs = np.array(items, dtype=object)  # gathered by mask
        ids = s.ref_ids(items)
        if s.ref in s.missing:
            ids = [-1 if i is None else i for i in ids]
        self.df = pd.DataFrame({
            **{attr: self._column(items, attr, kind) for attr, kind in s.columns.items()},
            s.ref: np.asarray(ids, dtype=np.int32),
        })
        self.owners = pd.DataFrame({attr: self._column(owners, attr, kind)
                                    for attr, kind in s.ref_columns.items()})

    def _column(self, objs, attr, kind):
        import numpy as np
        import pandas as pd
        values = map(attrgetter(attr), objs)
        if kind == "category":
            # Every value the workload may write is a category, so a write
            # may bring in one the objects did not have.
            return pd.Categorical(list(values), categories=self.schema.categories.get(attr))
        if kind == "str":
            return pd.array(list(values), dtype="str")
        return np.fromiter(values, dtype=NUMPY_TYPES[kind], count=len(objs))

    def close(self):
        self.df = self.objs = self.items = None

    def _mask(self, e, df=None):
        df = self.df if df is None else df
        if isinstance(e, (Cmp, In, Between)):
            if "." in e.attr:
                # Evaluate the condition on the owners, then look each item's
                # owner position up in that mask.
                import numpy as np
                import pandas as pd
                head, tail = e.attr.split(".", 1)
                ne = isinstance(e, Cmp) and e.op == "!="
                sub = dataclasses.replace(e, attr=tail, **({"op": "=="} if ne else {}))
                owner_ok = np.append(self._mask(sub, self.owners).to_numpy(), False)
                ok = owner_ok[df[head].to_numpy()]
                return pd.Series(~ok if ne else ok, index=df.index)
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
