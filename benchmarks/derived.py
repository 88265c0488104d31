"""Derived indexes: views, narrowing, rebase, reduce and union.

Corvalex keeps a view as an id bitmap over the index's live tables; users
of pandas and sqlite3 make a filtered copy instead (a boolean mask; a
temporary table).  Rows, on N objects (`colour = 'red'` keeps ~10%, `flag
= 1` half of that):

- ``view``: a view of the red objects: ``index.reduced(colour="red")``;
  ``df[df["colour"] == "red"]``; ``CREATE TEMP TABLE .. AS SELECT .. WHERE
  colour = ?`` (dropped again in the same call).
- ``narrow``: that view narrowed by ``flag = 1``: ``view.reduced(flag=1)``
  (once views narrow by keywords); a mask on the filtered frame; a temporary
  table selected from the first one.
- ``rebase``: the red view rebased into an index of its own, against
  ``add_object_many`` of the same objects into a new index.
- ``reduce``: ``index.reduce(colour="red")`` on a freshly built index.
- ``union``: ``a.union_with(b)`` for two indexes of N/2 objects each, against
  ``a.add_object_many`` of b's objects.
- ``bytes per view``: RSS growth over many red views (and filtered frames),
  per view.

Agreement first: every engine's derived result must hold the same objects
before anything is timed.  Times are reported, never asserted.
"""

from __future__ import annotations

import gc
import importlib
import sqlite3
import statistics
from dataclasses import dataclass, field

from .engines.corvalex_engine import load as load_corvalex
from .runner import _timed, log, rss_bytes, time_call
from .workload import ATTRS, Workload

MAX_VIEWS_FOR_MEMORY = 20_000
MEMORY_GROWTH = 32 << 20


def _pandas():
    try:
        return importlib.import_module("pandas")
    except ImportError:
        return None


@dataclass
class DerivedResult:
    n: int
    rows: dict = field(default_factory=dict)        # row -> engine -> samples (s)
    labels: dict = field(default_factory=dict)      # row -> label
    counts: dict = field(default_factory=dict)      # row -> objects in the result
    bytes_per_view: dict = field(default_factory=dict)
    disagreements: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.disagreements


class _Frames:
    """pandas: one frame of the columns the rows filter on, plus positions."""

    def __init__(self, pd, w: Workload):
        import numpy as np
        self.df = pd.DataFrame({
            "colour": pd.Categorical(w.colour),
            "flag": np.asarray(w.flag, dtype=np.int8),
            "size": np.asarray(w.size, dtype=np.int64),
        })

    def view(self):
        df = self.df
        return df[df["colour"] == "red"]

    @staticmethod
    def narrow(sub):
        return sub[sub["flag"] == 1]


class _Tables:
    """sqlite3: the items table (rowid = position) with an index per column."""

    def __init__(self, w: Workload):
        con = self.con = sqlite3.connect(":memory:", isolation_level=None)
        con.execute("PRAGMA journal_mode = OFF")
        con.execute("PRAGMA synchronous = OFF")
        con.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, colour TEXT, size INTEGER,"
                    " price REAL, name TEXT, flag INTEGER, owner INTEGER)")
        con.execute("BEGIN")
        con.executemany("INSERT INTO items VALUES (?, ?, ?, ?, ?, ?, ?)",
                        zip(range(w.n), w.colour, w.size, w.price, w.name, w.flag, w.owner))
        for attr in ATTRS:
            con.execute(f"CREATE INDEX items_{attr} ON items ({attr})")
        con.execute("COMMIT")
        con.execute("ANALYZE")

    def view(self):
        self.con.execute("CREATE TEMP TABLE red AS SELECT * FROM items WHERE colour = ?",
                         ("red",))

    def narrow(self):
        self.con.execute("CREATE TEMP TABLE red_flag AS SELECT * FROM red WHERE flag = ?", (1,))

    def drop(self, *tables):
        for table in tables:
            self.con.execute(f"DROP TABLE IF EXISTS temp.{table}")

    def ids(self, table):
        return [r for (r,) in self.con.execute(f"SELECT id FROM temp.{table} ORDER BY id")]


def _fresh_samples(setup, operation, repeats, warmup):
    """Seconds per call of ``operation(state)`` on a new ``setup()`` each time;
    what the call returns is released outside the timing."""
    samples = []
    for r in range(warmup + repeats):
        state = setup()
        kept = []
        gc.collect()
        dt = _timed(lambda: kept.append(operation(state)))
        if r >= warmup:
            samples.append(dt)
        del state, kept
    return samples


def _bytes_per_view(make):
    """RSS growth per view, over enough views that the growth is not lost
    in memory the allocator already holds."""
    gc.collect()
    before = rss_bytes()
    views = []
    while len(views) < MAX_VIEWS_FOR_MEMORY:
        views += [make() for _ in range(50)]
        if rss_bytes() - before >= MEMORY_GROWTH:
            break
    gc.collect()
    per_view = (rss_bytes() - before) / len(views)
    count = len(views)
    del views
    return per_view, count


def run_derived(w: Workload, repeats=5, warmup=1, min_sample=0.02, engines=None,
                memory=True, logger=log) -> DerivedResult:
    """Check, then time, the derived-index rows on ``w``."""
    mod = load_corvalex()
    res = DerivedResult(w.n)
    if mod is None or not hasattr(mod, "Index"):
        res.notes.append("Corvalex is not importable; derived rows not run")
        return res
    wanted = set(engines or ("corvalex", "pandas", "sqlite"))
    pd = _pandas() if "pandas" in wanted else None
    if "pandas" in wanted and pd is None:
        res.notes.append("pandas not installed: its rows are skipped")

    items, _owners = w.make_indexable(mod)
    position = {id(o): i for i, o in enumerate(items)}
    index = mod.Index()
    index.add_object_many(items)
    red = [i for i, c in enumerate(w.colour) if c == "red"]
    red_flag = [i for i in red if w.flag[i] == 1]
    view = index.reduced(colour="red")
    narrows = hasattr(view, "reduced")
    if not narrows:
        res.notes.append("narrow: FilteredIndex.reduced not available yet (n/a for corvalex)")

    def positions(objs):
        return [position.get(id(o), -1) for o in objs]

    def agree(row, engine, got, want):
        if got != want:
            res.disagreements.append(f"{row}: {engine} holds {len(got)} objects, "
                                     f"expected {len(want)}")

    # --- agreement -------------------------------------------------------
    agree("view", "corvalex", positions(view.collect()), red)
    if narrows:
        agree("narrow", "corvalex", positions(view.reduced(flag=1).collect()), red_flag)
    red_objs = [items[i] for i in red]
    rebased = view.rebase()
    agree("rebase", "corvalex", positions(rebased.collect()), red)
    agree("rebase", "corvalex (lookup)", positions(rebased.get_by_attribute(flag=1)), red_flag)
    del rebased
    reduced_index = mod.Index()
    reduced_index.add_object_many(items)
    reduced_index.reduce(colour="red")
    agree("reduce", "corvalex", positions(reduced_index.get_by_attribute(flag=1)), red_flag)
    del reduced_index
    half = w.n // 2
    a, b = mod.Index(), mod.Index()
    a.add_object_many(items[:half])
    b.add_object_many(items[half:])
    a.union_with(b)
    agree("union", "corvalex", positions(a.get_by_attribute(colour="red")),
          [i for i in red if i < half])
    del a, b
    frames = _Frames(pd, w) if pd is not None else None
    if frames is not None:
        sub = frames.view()
        agree("view", "pandas", sub.index.tolist(), red)
        agree("narrow", "pandas", frames.narrow(sub).index.tolist(), red_flag)
    tables = _Tables(w) if "sqlite" in wanted else None
    if tables is not None:
        tables.view()
        tables.narrow()
        agree("view", "sqlite", tables.ids("red"), red)
        agree("narrow", "sqlite", tables.ids("red_flag"), red_flag)
        tables.drop("red", "red_flag")
    if not res.ok:
        return res

    # --- timing ----------------------------------------------------------
    def timed(row, engine, fn):
        res.rows.setdefault(row, {})[engine] = time_call(fn, repeats, warmup, min_sample)

    res.labels = {
        "view": "view of colour = 'red' (~10%)",
        "narrow": "narrow that view by flag = 1",
        "rebase": "rebase the red view (vs add_object_many of its objects)",
        "reduce": "reduce the index to colour = 'red'",
        "union": f"union of two indexes of {half:,} (vs add_object_many of the other's)",
    }
    res.counts = {"view": len(red), "narrow": len(red_flag), "rebase": len(red),
                  "reduce": len(red), "union": w.n - half}
    gc.collect()
    gc.disable()
    try:
        timed("view", "corvalex", lambda: index.reduced(colour="red"))
        if narrows:
            timed("narrow", "corvalex", lambda: view.reduced(flag=1))
        if frames is not None:
            timed("view", "pandas", frames.view)
            sub = frames.view()
            timed("narrow", "pandas", lambda: frames.narrow(sub))
        if tables is not None:
            def sql_view():
                tables.view()
                tables.drop("red")
            timed("view", "sqlite", sql_view)
            tables.view()

            def sql_narrow():
                tables.narrow()
                tables.drop("red_flag")
            timed("narrow", "sqlite", sql_narrow)
            tables.drop("red")
    finally:
        gc.enable()
    logger("derived: views timed")

    res.rows["rebase"] = {
        "corvalex": _fresh_samples(lambda: None, lambda _: view.rebase(), repeats, warmup),
        "add_object_many": _fresh_samples(
            mod.Index, lambda fresh: fresh.add_object_many(red_objs), repeats, warmup),
    }

    def built():
        fresh = mod.Index()
        fresh.add_object_many(items)
        return fresh
    res.rows["reduce"] = {"corvalex": _fresh_samples(
        built, lambda fresh: fresh.reduce(colour="red"), repeats, warmup)}
    logger("derived: rebase and reduce timed")

    def halves():
        first, second = mod.Index(), mod.Index()
        first.add_object_many(items[:half])
        second.add_object_many(items[half:])
        return first, second
    res.rows["union"] = {
        "corvalex": _fresh_samples(halves, lambda pair: pair[0].union_with(pair[1]),
                                   repeats, warmup),
        "add_object_many": _fresh_samples(
            halves, lambda pair: pair[0].add_object_many(items[half:]), repeats, warmup),
    }
    logger("derived: union timed")

    if memory:
        res.bytes_per_view["corvalex"] = _bytes_per_view(lambda: index.reduced(colour="red"))
        if frames is not None:
            res.bytes_per_view["pandas"] = _bytes_per_view(frames.view)
    if tables is not None:
        tables.con.close()
    return res


def markdown(res: DerivedResult) -> str:
    from .report import fmt_ratio, fmt_time
    engines = []
    for times in res.rows.values():
        engines += [e for e in times if e not in engines]
    head = ["derived index", "objects"] + engines
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row, times in res.rows.items():
        base = statistics.median(times["corvalex"]) if times.get("corvalex") else None
        cells = [res.labels.get(row, row), f"{res.counts.get(row, 0):,}"]
        for e in engines:
            samples = times.get(e)
            if not samples:
                cells.append("n/a")
                continue
            t = statistics.median(samples)
            if e == "corvalex":
                cells.append(f"**{fmt_time(t)}**")
            elif base:
                cells.append(f"{fmt_time(t)} ({fmt_ratio(t / base)})")
            else:
                cells.append(fmt_time(t))
        out.append("| " + " | ".join(cells) + " |")
    parts = ["\n".join(out), ""]
    if res.bytes_per_view:
        parts += ["Bytes per view of the red objects (RSS growth over many views): " + ", ".join(
            f"{e} {b:,.0f} B ({count:,} views)" for e, (b, count) in res.bytes_per_view.items()),
            ""]
    if res.notes:
        parts += ["Notes: " + "; ".join(res.notes), ""]
    return "\n".join(parts)
