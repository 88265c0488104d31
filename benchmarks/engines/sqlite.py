"""stdlib sqlite3, in memory, one index per column.

Rows carry the object's position as their rowid; a query selects rowids in
order and maps them back to the objects.  Writes set the attribute on the
object and UPDATE the row (executemany).
"""

from __future__ import annotations

import sqlite3

from ..workload import ATTRS
from .base import Engine
from .sqlsupport import where


class SqliteEngine(Engine):
    name = "sqlite"
    label = "sqlite3 (in memory, index per column)"
    packages = ("sqlite3",)

    def version(self):
        return f"sqlite {sqlite3.sqlite_version}"

    def build(self, items, owners):
        self.items = items
        con = self.con = sqlite3.connect(":memory:", isolation_level=None)
        con.execute("PRAGMA journal_mode = OFF")
        con.execute("PRAGMA synchronous = OFF")
        con.execute("CREATE TABLE owners (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)")
        con.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, colour TEXT, size INTEGER,"
                    " price REAL, name TEXT, flag INTEGER, owner INTEGER)")
        con.execute("BEGIN")
        con.executemany("INSERT INTO owners VALUES (?, ?, ?)",
                        [(w.oid, w.name, w.age) for w in owners])
        con.executemany("INSERT INTO items VALUES (?, ?, ?, ?, ?, ?, ?)",
                        [(o.seq, o.colour, o.size, o.price, o.name, o.flag, o.owner.oid)
                         for o in items])
        for attr in ATTRS:
            con.execute(f"CREATE INDEX items_{attr} ON items ({attr})")
        con.execute("CREATE INDEX owners_name ON owners (name)")
        con.execute("CREATE INDEX owners_age ON owners (age)")
        con.execute("COMMIT")
        con.execute("ANALYZE")

    def close(self):
        if getattr(self, "con", None) is not None:
            self.con.close()
        self.con = self.items = None

    def prepare(self, query):
        params = []
        sql = f"SELECT id FROM items WHERE {where(query.expr, params)} ORDER BY id"
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
