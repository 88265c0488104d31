"""stdlib sqlite3, in memory, one index per column.

Rows carry the object's position as their rowid; a query selects rowids in
order and maps them back to the objects.  Writes set the attribute on the
object and UPDATE the row (executemany).  NaN and None are stored as NULL
(sqlite3 binds a NaN as NULL).
"""

from __future__ import annotations

import sqlite3

from ..schema import tuple_getter
from .base import Engine
from .sqlsupport import where

SQL_TYPES = {"category": "TEXT", "str": "TEXT", "int": "INTEGER", "int8": "INTEGER",
             "float": "REAL"}


def _table(name, columns):
    cols = ", ".join(f"{attr} {SQL_TYPES[kind]}" for attr, kind in columns.items())
    return f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, {cols})"


class SqliteEngine(Engine):
    name = "sqlite"
    label = "sqlite3 (in memory, index per column)"
    packages = ("sqlite3",)

    def version(self):
        return f"sqlite {sqlite3.sqlite_version}"

    def build(self, items, owners):
        s = self.schema
        self.items = items
        con = self.con = sqlite3.connect(":memory:", isolation_level=None)
        con.execute("PRAGMA journal_mode = OFF")
        con.execute("PRAGMA synchronous = OFF")
        con.execute(_table(s.ref_table, s.ref_columns))
        con.execute(_table("items", dict(s.columns, **{s.ref: "int"})))
        con.execute("BEGIN")
        get = tuple_getter(s.ref_columns)
        marks = ", ".join("?" * (len(s.ref_columns) + 1))
        con.executemany(f"INSERT INTO {s.ref_table} VALUES ({marks})",
                        [(w.oid, *get(w)) for w in owners])
        get = tuple_getter(s.columns)
        marks = ", ".join("?" * (len(s.columns) + 2))
        con.executemany(f"INSERT INTO items VALUES ({marks})",
                        [(o.seq, *get(o), r) for o, r in zip(items, s.ref_ids(items))])
        for attr in s.attrs:
            con.execute(f"CREATE INDEX items_{attr} ON items ({attr})")
        for attr in s.ref_columns:
            con.execute(f"CREATE INDEX {s.ref_table}_{attr} ON {s.ref_table} ({attr})")
        con.execute("COMMIT")
        con.execute("ANALYZE")

    def close(self):
        if getattr(self, "con", None) is not None:
            self.con.close()
        self.con = self.items = None

    def prepare(self, query):
        params = []
        sql = f"SELECT id FROM items WHERE {where(query.expr, self.schema, params)} ORDER BY id"
        execute, items = self.con.execute, self.items
        params = tuple(params)
        return lambda: [items[r] for (r,) in execute(sql, params)]

    def write(self, batch):
        items, attr = self.items, batch.attr
        for pos, v in zip(batch.positions, batch.values):
            setattr(items[pos], attr, v)
        con = self.con
        con.execute("BEGIN")
        con.executemany(f"UPDATE items SET {attr} = ? WHERE id = ?",
                        zip(batch.values, batch.positions))
        con.execute("COMMIT")
