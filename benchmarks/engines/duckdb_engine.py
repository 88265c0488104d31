"""DuckDB, in process: the objects' attributes are loaded from a DataFrame
into a native DuckDB table (faster to query than scanning the DataFrame on
every query), queried with parameterised SQL; matching positions come back
as a NumPy array and are gathered from an object array.  Writes set the
attribute on the objects and run one bulk ``UPDATE ... FROM`` a registered
DataFrame of changes.  NaN and None are loaded and written as NULL.
"""

from __future__ import annotations

from operator import attrgetter

from .base import Engine
from .sqlsupport import where

NUMPY_TYPES = {"int": "int64", "int8": "int64", "float": "float64"}


def _column(objs, attr, kind):
    """One attribute of ``objs`` as a frame column: a NumPy array for
    numbers (NaN becomes NULL in DuckDB), else a list (None becomes NULL)."""
    import numpy as np
    values = map(attrgetter(attr), objs)
    if kind in NUMPY_TYPES:
        return np.fromiter(values, dtype=NUMPY_TYPES[kind], count=len(objs))
    return list(values)


class DuckDBEngine(Engine):
    name = "duckdb"
    label = "DuckDB (native table, SQL)"
    packages = ("duckdb", "pandas", "numpy")

    def build(self, items, owners):
        import duckdb
        import numpy as np
        import pandas as pd
        s = self.schema
        n = len(items)
        self.items = items
        self.objs = np.array(items, dtype=object)
        ids = s.ref_ids(items)
        frame = pd.DataFrame({
            "pos": np.arange(n, dtype=np.int64),
            **{attr: _column(items, attr, kind) for attr, kind in s.columns.items()},
            s.ref: (pd.array(ids, dtype="Int64") if s.ref in s.missing
                    else np.asarray(ids, dtype=np.int64)),
        })
        owner_frame = pd.DataFrame({
            "id": np.arange(len(owners), dtype=np.int64),
            **{attr: _column(owners, attr, kind) for attr, kind in s.ref_columns.items()},
        })
        con = self.con = duckdb.connect(":memory:")
        con.register("items_df", frame)
        con.register("owners_df", owner_frame)
        con.execute("CREATE TABLE items AS SELECT * FROM items_df")
        con.execute(f"CREATE TABLE {s.ref_table} AS SELECT * FROM owners_df")
        con.unregister("items_df")
        con.unregister("owners_df")

    def close(self):
        if getattr(self, "con", None) is not None:
            self.con.close()
        self.con = self.objs = self.items = None

    def prepare(self, query):
        params = []
        sql = f"SELECT pos FROM items WHERE {where(query.expr, self.schema, params)} ORDER BY pos"
        con, objs = self.con, self.objs

        def run():
            pos = con.execute(sql, params).fetchnumpy()["pos"]
            return objs[pos].tolist()
        return run

    def write(self, batch):
        import numpy as np
        import pandas as pd
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)
        values = batch.values
        if all(isinstance(v, int) for v in values):
            values = np.asarray(values, dtype=np.int64)
        changes = pd.DataFrame({"pos": np.asarray(batch.positions, dtype=np.int64),
                                "v": values})
        con = self.con
        con.register("changes_df", changes)
        con.execute(f"UPDATE items SET {attr} = c.v FROM changes_df c WHERE items.pos = c.pos")
        con.unregister("changes_df")
