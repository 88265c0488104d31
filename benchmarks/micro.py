"""Fixed costs per operation, in ns: one attribute write on an object no
index holds, one write on an object held by an index of N objects, and
lookups returning ~100 objects and one object.

Each row times one statement with ``timeit`` (which turns the garbage
collector off while timing) on the same objects as its reference, taking
the two statements' samples in turn, and reports the best and the median of
the samples.  Results are compared once before anything is timed.
"""

from __future__ import annotations

import statistics
import timeit
from collections import Counter

from .engines.corvalex_engine import load as load_corvalex
from .engines.pyindex import PyIndexEngine
from .runner import log
from .workload import COLOURS, SIZE_RANGE, Workload

# Lookup size the small-result rows aim for.
SMALL_RESULT = 100
# The goal for that row (1.5x faster than listing the set) is set for about
# a hundred results; from a million objects on, every size value holds about
# a thousand, and the row is reported without one.
SMALL_GOAL_MAX_RESULTS = 2 * SMALL_RESULT
# Objects the indexed-write rows move, each to another value and back.
MOVERS = 1000


class _Plain:
    def __init__(self):
        self.size = 0


class _Slots:
    __slots__ = ("size",)

    def __init__(self):
        self.size = 0


def time_stmts(stmts: list, repeats: int, min_sample: float) -> list:
    """Best and median ns per operation of each ``(stmt, ns, per)`` (a
    statement doing ``per`` operations).  The statements' samples alternate,
    so that a change in the machine's speed during a row falls on each of
    them alike."""
    timers = []
    for stmt, ns, per in stmts:
        timer = timeit.Timer(stmt, globals=ns)
        number = 1
        while number < 10_000_000:
            if timer.timeit(number) >= min_sample:
                break
            number *= 10
        timers.append((timer, number, per, []))
    for _ in range(max(1, repeats)):
        for timer, number, per, samples in timers:
            samples.append(timer.timeit(number) / number / per * 1e9)
    return [{"best": min(samples), "median": statistics.median(samples)}
            for _, _, _, samples in timers]


def reindexer(engine: PyIndexEngine, attr: str):
    """The hand-written index's re-indexing of one object (as its batch write
    does per object), as a function of (object, new value)."""
    buckets, dirty, sorted_keys = engine.index[attr], engine.dirty, engine.sorted_keys

    def reindex(o, v):
        old = getattr(o, attr)
        if old == v:
            return
        new_keys = False
        b = buckets[old]
        del b[o]
        if not b:
            del buckets[old]
            dirty.discard((attr, old))
            new_keys = True
        setattr(o, attr, v)
        b = buckets.get(v)
        if b is None:
            buckets[v] = {o: None}
            new_keys = True
        else:
            if b and next(reversed(b)).seq > o.seq:
                dirty.add((attr, v))
            b[o] = None
        if new_keys:
            sorted_keys.pop(attr, None)
    return reindex


def pick_values(w: Workload):
    """(size value with close to SMALL_RESULT objects, its count, a name
    held by exactly one object)."""
    sizes = Counter(w.size)
    size = min(sorted(sizes), key=lambda v: abs(sizes[v] - SMALL_RESULT))
    names = Counter(w.name)
    name = next(nm for nm in w.name[w.n // 2:] + w.name if names[nm] == 1)
    return size, sizes[size], name


def _row(key, label, corvalex, reference, ref, goal=None, results=None):
    return {"key": key, "label": label, "corvalex": corvalex, "reference": reference,
            "ref": ref, "ratio": corvalex["median"] / ref["median"], "goal": goal,
            "results": results}


def run_micro(w: Workload, repeats: int, min_sample: float, logger=log) -> list:
    """The fixed-cost rows at ``w.n`` objects; raises if Corvalex and the
    hand-written index disagree on any result."""
    mod = load_corvalex()
    if mod is None or not hasattr(mod, "Index"):
        logger("micro: Corvalex not available; no fixed-cost rows")
        return []
    rows = []
    def t(*stmts, ns, per=1):
        return time_stmts([(stmt, ns, per) for stmt in stmts], repeats, min_sample)

    # One write on an object no index holds.
    objs = {"corvalex": mod.Indexable(size=0), "dict": _Plain(), "slots": _Slots()}
    loose = dict(zip(objs, time_stmts([("o.size = 5", {"o": o}, 1) for o in objs.values()],
                                      repeats, min_sample)))
    if any(o.size != 5 for o in objs.values()):
        raise AssertionError("micro: a plain write did not land")
    label = "`o.size = 5`, object in no index"
    rows.append(_row("write_loose", label, loose["corvalex"], "plain object (`__dict__`)",
                     loose["dict"], goal=2.0))
    rows.append(_row("write_loose_slots", label, loose["corvalex"], "`__slots__` object",
                     loose["slots"]))

    logger(f"micro: building both indexes over {w.n:,} objects")
    items, _ = w.make_indexable(mod)
    idx = mod.Index()
    idx.add_object_many(items)
    plain, owners = w.make_plain()
    hand = PyIndexEngine(w.schema)
    hand.build(plain, owners)
    pos_of = {id(o): i for i, o in enumerate(items)}

    def positions(result, mine):
        return [pos_of[id(o)] for o in result] if mine else [o.seq for o in result]

    # Lookups, ~100 results and one: before the writes below, which leave
    # the hand-written index's buckets out of construction order.
    size, count, name = pick_values(w)
    by_size, by_name = hand.index["size"], {o.name: o for o in plain}
    if positions(idx.get_by_attribute(size=size), True) != positions(list(by_size[size]), False):
        raise AssertionError(f"micro: size={size} results differ")
    if positions(idx.get_by_attribute(name=name), True) != positions([by_name[name]], False):
        raise AssertionError(f"micro: name={name!r} results differ")
    ns = {"idx": idx, "by_size": by_size, "by_name": by_name, "v": size, "key": name}
    mine, ref = t("idx.get_by_attribute(size=v)", "list(by_size[v])", ns=ns)
    rows.append(_row("lookup_small", f"`get_by_attribute(size=v)`, {count} results",
                     mine, "`list(by_size[v])`", ref,
                     goal=1 / 1.5 if count <= SMALL_GOAL_MAX_RESULTS else None, results=count))
    mine, ref = t("idx.get_by_attribute(name=key)", "[by_name[key]]", ns=ns)
    rows.append(_row("lookup_one", "`get_by_attribute(name=<unique>)`, 1 result",
                     mine, "`[by_name[key]]`", ref, goal=2.0, results=1))

    # Indexed writes: each of MOVERS objects, in turn, to another value and
    # back, so every write moves its object.  Moving one object to and fro
    # would leave the hand-written index's buckets a tail of deleted slots
    # that its order check (``next(reversed(bucket))``) walks on every write.
    movers = range(0, w.n, max(1, w.n // MOVERS))
    for attr in ("size", "colour"):
        here = [getattr(plain[p], attr) for p in movers]
        if attr == "size":
            other = [(v + 1) % SIZE_RANGE for v in here]
        else:
            other = [COLOURS[(COLOURS.index(v) + 1) % len(COLOURS)] for v in here]
        ns = {"there": list(zip([items[p] for p in movers], other)),
              "back": list(zip([items[p] for p in movers], here)),
              "hthere": list(zip([plain[p] for p in movers], other)),
              "hback": list(zip([plain[p] for p in movers], here)),
              "reindex": reindexer(hand, attr)}
        per = 2 * len(movers)
        mine, ref = t(f"for o, v in there: o.{attr} = v\nfor o, v in back: o.{attr} = v",
                      "for o, v in hthere: reindex(o, v)\nfor o, v in hback: reindex(o, v)",
                      ns=ns, per=per)
        for v in set(here) | set(other):  # both indexes still agree
            got = sorted(positions(idx.get_by_attribute(**{attr: v}), True))
            want = sorted(positions(hand.index[attr].get(v, ()), False))
            if got != want:
                raise AssertionError(f"micro: {attr}={v!r} differs after the writes")
        rows.append(_row(f"write_{attr}", f"`o.{attr} = v`, {len(movers):,} objects in turn, "
                         f"in an index of {w.n:,}", mine,
                         "hand-written index re-indexing one object", ref, goal=2.0))
    return rows


def markdown(rows: list) -> str:
    if not rows:
        return "Corvalex not available: no fixed-cost rows.\n"
    out = ["ns per operation, median (best) of the samples; ratio = Corvalex median / "
           "reference median.", "",
           "| operation | Corvalex | reference | reference time | ratio | goal |",
           "|---|---|---|---|---|---|"]
    for r in rows:
        c, f = r["corvalex"], r["ref"]
        goal = "" if r["goal"] is None else (
            f"{'ok' if r['ratio'] <= r['goal'] else 'MISS'} (<= {r['goal']:.2g}x)")
        out.append(f"| {r['label']} | {c['median']:.0f} ({c['best']:.0f}) | {r['reference']} "
                   f"| {f['median']:.0f} ({f['best']:.0f}) | {r['ratio']:.2f}x | {goal} |")
    return "\n".join(out) + "\n"
