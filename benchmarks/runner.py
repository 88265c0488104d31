"""Agreement check, timing and memory measurement."""

from __future__ import annotations

import gc
import json
import math
import operator
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Optional

from . import queries as Q
from .engines import ENGINES
from .engines.corvalex_engine import load as load_corvalex


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Engines
# --------------------------------------------------------------------------

def select_engines(schema, names=None, logger=log):
    """Instantiate the requested engines that are usable (for objects laid
    out as ``schema`` says); note the others."""
    names = list(ENGINES) if not names else names
    engines, skipped = [], {}
    for name in names:
        cls = ENGINES.get(name)
        if cls is None:
            raise SystemExit(f"unknown engine {name!r}; choose from {', '.join(ENGINES)}")
        reason = cls.unavailable_reason()
        if reason:
            skipped[name] = reason
            logger(f"note: skipping engine {name}: {reason}")
        else:
            engines.append(cls(schema))
    return engines, skipped


def make_objects(engine, workload):
    if engine.object_kind == "indexable":
        return workload.make_indexable(load_corvalex())
    return workload.make_plain()


def supports(engine, query) -> bool:
    return query.requires <= engine.features()


# --------------------------------------------------------------------------
# Agreement check
# --------------------------------------------------------------------------

@dataclass
class Disagreement:
    engine: str
    query: str
    phase: str
    expected_count: int
    got_count: int
    first_diff: Optional[int]
    expected_item: str
    got_item: str
    error: str = ""

    def describe(self) -> str:
        if self.error:
            return f"[{self.phase}] engine {self.engine}, query {self.query}: raised {self.error}"
        return (f"[{self.phase}] engine {self.engine}, query {self.query}: expected "
                f"{self.expected_count} objects, got {self.got_count}; first difference at "
                f"result index {self.first_diff}: expected {self.expected_item}, "
                f"got {self.got_item}")


@dataclass
class CheckResult:
    n: int
    engines: list
    skipped: dict
    checked: dict = field(default_factory=dict)     # engine -> [query keys]
    unsupported: dict = field(default_factory=dict)  # engine -> [query keys]
    counts: dict = field(default_factory=dict)       # query -> expected count
    positions: dict = field(default_factory=dict)    # query -> expected positions
    disagreements: list = field(default_factory=list)
    notes: dict = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.disagreements


def _compare(engine_name, query, phase, got, expected, position_of, ref_items):
    got_pos = []
    for o in got:
        p = position_of(o)
        got_pos.append(p)
    if got_pos == expected:
        return None
    first = next((i for i, (a, b) in enumerate(zip(got_pos, expected)) if a != b),
                 min(len(got_pos), len(expected)))

    def show(seq, i):
        if i >= len(seq):
            return "<end of results>"
        p = seq[i]
        return repr(ref_items[p]) if isinstance(p, int) and p >= 0 else "<object not from this engine's list>"
    return Disagreement(engine_name, query.key, phase, len(expected), len(got), first,
                        show(expected, first), show(got_pos, first))


def run_check(workload, engine_names=None, query_keys=None,
              logger=log) -> CheckResult:
    """Run every query on every available engine and compare with a naive
    reference evaluation; then apply one batch of each write row's writes
    and compare again."""
    engines, skipped = select_engines(workload.schema, engine_names, logger)
    queries = [q for q in workload.queries() if not query_keys or q.key in query_keys]
    res = CheckResult(workload.n, [e.name for e in engines], skipped)

    ref_items, ref_owners = workload.make_plain()
    expected = {q.key: Q.reference_positions(q.expr, ref_items, ref_owners) for q in queries}
    res.positions = expected
    res.counts = {k: len(v) for k, v in expected.items()}
    batches = [workload.write_batch(0, row.attr) for row in workload.schema.write_rows]
    for batch in batches:
        for pos, v in zip(batch.positions, batch.values):
            setattr(ref_items[pos], batch.attr, v)
    expected_after = {q.key: Q.reference_positions(q.expr, ref_items, ref_owners)
                      for q in queries}

    for eng in engines:
        items, owners = make_objects(eng, workload)
        if eng.object_kind == "plain":
            def position_of(o, _items=items):
                p = getattr(o, "seq", -1)
                ok = isinstance(p, int) and 0 <= p < len(_items) and _items[p] is o
                return p if ok else -1
        else:
            ids = {id(o): i for i, o in enumerate(items)}

            def position_of(o, _ids=ids):
                return _ids.get(id(o), -1)
        supported = [q for q in queries if supports(eng, q)]
        res.checked[eng.name] = [q.key for q in supported]
        res.unsupported[eng.name] = [q.key for q in queries if not supports(eng, q)]
        if hasattr(eng, "notes"):
            res.notes[eng.name] = eng.notes()
        logger(f"check: {eng.name}: building over {len(items)} objects")
        phases = [("before writes", expected)]
        if "writes" in eng.features():
            phases.append(("after writes", expected_after))
        try:
            eng.build(items, owners)
            for phase, want in phases:
                if phase == "after writes":
                    for batch in batches:
                        eng.write(batch)
                for q in supported:
                    try:
                        got = eng.prepare(q)()
                    except Exception as exc:  # report, keep checking
                        res.disagreements.append(Disagreement(
                            eng.name, q.key, phase, len(want[q.key]), -1, None, "", "",
                            error=f"{type(exc).__name__}: {exc}"))
                        continue
                    d = _compare(eng.name, q, phase, got, want[q.key], position_of, ref_items)
                    if d:
                        res.disagreements.append(d)
        except MemoryError:
            # Too large for this machine at this N: leave it out, say so.
            res.skipped[eng.name] = f"MemoryError over {len(items):,} objects"
            res.engines.remove(eng.name)
            del res.checked[eng.name]
            logger(f"note: skipping engine {eng.name}: {res.skipped[eng.name]}")
        finally:
            eng.close()
        items = owners = position_of = None
        gc.collect()
    return res


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------

def _fit(repeats: int, once: float, budget: float) -> int:
    """Repeats that fit in ``budget`` seconds (at least 1)."""
    if budget <= 0 or once * repeats <= budget:
        return repeats
    return max(1, int(budget / max(once, 1e-9)))


def time_call(fn, repeats: int, warmup: int, min_sample: float,
              budget: float = 0) -> list[float]:
    """Seconds per call: ``repeats`` samples, each averaging enough calls to
    last at least ``min_sample`` seconds, after ``warmup`` untimed calls.
    A call so slow that the samples would not fit in ``budget`` seconds gets
    fewer samples (at least one)."""
    for _ in range(warmup):
        fn()
    t0 = time.perf_counter()
    fn()
    once = time.perf_counter() - t0
    inner = 1 if once >= min_sample else min(100_000, math.ceil(min_sample / max(once, 1e-7)))
    samples = []
    for _ in range(_fit(repeats, once * inner, budget)):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        samples.append((time.perf_counter() - t0) / inner)
    return samples


@dataclass
class EngineTiming:
    engine: str
    label: str
    version: str
    build: list = field(default_factory=list)
    queries: dict = field(default_factory=dict)   # key -> samples (seconds)
    # Batches of writes (s), one field per write row (``WriteRow.key``): the
    # synthetic workload's `size` and `colour` writes, the flights' `dep_delay`.
    writes: list = field(default_factory=list)
    writes_str: list = field(default_factory=list)


def _timed(fn) -> float:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def time_engine(eng, workload, queries, repeats, warmup, build_repeats, min_sample,
                budget=0, logger=log) -> EngineTiming:
    """Time index builds, every supported query and (if supported) writes."""
    items, owners = make_objects(eng, workload)
    out = EngineTiming(eng.name, eng.label, eng.version())

    def build():
        eng.build(items, owners)
    try:
        first = None
        for r in range(warmup + build_repeats):
            eng.close()
            dt = _timed(build)
            if r < warmup:
                first = dt
                continue
            out.build.append(dt)
            if len(out.build) >= _fit(build_repeats, first or dt, budget):
                break
        logger(f"time: {eng.name}: build median {statistics.median(out.build):.3f}s "
               f"({len(out.build)} samples)")
        gc.collect()
        gc.disable()
        try:
            for q in queries:
                if supports(eng, q):
                    out.queries[q.key] = time_call(eng.prepare(q), repeats, warmup,
                                                   min_sample, budget)
        finally:
            gc.enable()
        if "writes" in eng.features():
            for row in workload.schema.write_rows:
                samples = getattr(out, row.key)
                first = None
                for r in range(warmup + repeats):
                    b = workload.write_batch(1 + r, row.attr)
                    dt = _timed(lambda: eng.write(b))
                    if r < warmup:
                        first = dt
                        continue
                    samples.append(dt)
                    if len(samples) >= _fit(repeats, first or dt, budget):
                        break
        logger(f"time: {eng.name}: done")
    finally:
        eng.close()
    return out


def gather_call(items, positions):
    """A callable returning ``[items[p] for p in positions]`` by a C-level
    gather.  ``itemgetter`` of one position returns the object itself, not a
    1-tuple, and of no positions cannot be made at all."""
    if not positions:
        return lambda: []
    get = operator.itemgetter(*positions)
    if len(positions) == 1:
        return lambda: [get(items)]
    return lambda: list(get(items))


def time_floors(workload, queries, positions, repeats, warmup, min_sample):
    """Per query, the two floors of returning its k result objects from the
    plain object list: slicing k neighbouring objects (``items[:k]``), and
    gathering the very objects the query returns, in its order.
    Returns (slice floors, gather floors), samples in seconds."""
    items, _ = workload.make_plain()
    slices, gathers = {}, {}
    gc.disable()
    try:
        for q in queries:
            pos = positions[q.key]
            k = len(pos)
            slices[q.key] = time_call(lambda k=k: items[:k], repeats, warmup, min_sample)
            gathers[q.key] = time_call(gather_call(items, pos), repeats, warmup, min_sample)
    finally:
        gc.enable()
    return slices, gathers


# --------------------------------------------------------------------------
# Memory: each engine's build in a fresh interpreter
# --------------------------------------------------------------------------

def rss_bytes() -> int:
    try:
        import psutil
        return psutil.Process().memory_info().rss
    except ImportError:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memory_here(engine_name: str, n: int, seed: int,
                        workload: str = "synthetic") -> dict:
    """Run inside the child: RSS before/after making the objects and the index."""
    import importlib

    from .workloads import load_workload
    cls = ENGINES[engine_name]
    for pkg in cls.packages:
        importlib.import_module(pkg)
    w = load_workload(workload, n, seed)
    eng = cls(w.schema)
    # Warm the engine's code paths on a tiny build so lazy imports and
    # one-off caches are not charged to the objects.
    tiny = load_workload(workload, 50, seed + 1)
    ti, to = make_objects(eng, tiny)
    eng.build(ti, to)
    eng.close()
    del ti, to
    gc.collect()
    r0 = rss_bytes()
    items, owners = make_objects(eng, w)
    gc.collect()
    r1 = rss_bytes()
    eng.build(items, owners)
    gc.collect()
    r2 = rss_bytes()
    return {"engine": engine_name, "n": n, "rss_before": r0, "rss_objects": r1,
            "rss_index": r2, "objects_per_obj": (r1 - r0) / n,
            "index_per_obj": (r2 - r1) / n}


def measure_memory(engine_names, n, seed, logger=log, failures=None,
                   workload: str = "synthetic") -> dict:
    """Per engine, measured in a child; an engine whose child fails is left
    out (and noted in ``failures`` under "<engine> memory")."""
    out = {}
    for name in engine_names:
        cmd = [sys.executable, "-m", "benchmarks", "--memory-child", name,
               "--n", str(n), "--seed", str(seed), "--workload", workload]
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env = dict(os.environ)
        env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
        proc = subprocess.run(cmd, capture_output=True, text=True, cwd=root, env=env)
        if proc.returncode != 0:
            reason = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                      else (proc.stderr.strip().splitlines() or ["failed"])[-1])
            logger(f"memory: {name}: child failed: {proc.stderr.strip()[-500:]}")
            if failures is not None:
                failures[f"{name} memory"] = f"not measured at N={n:,}: {reason}"
            continue
        out[name] = json.loads(proc.stdout.strip().splitlines()[-1])
        m = out[name]
        logger(f"memory: {name}: objects {m['objects_per_obj']:.0f} B/obj, "
               f"index {m['index_per_obj']:.0f} B/obj")
    return out
