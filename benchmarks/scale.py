"""``--scale N1,N2,...``: the suite once per N, each in a fresh child
process, then costs against N: ``results/scale-<N>.json`` per N,
``results/scale.md`` and a log-log chart (build, a selective and an
unselective query, index bytes per object).

An engine that fails at some N (MemoryError, or its child killed, e.g. by
the out-of-memory killer) is left out at that N with a note and the rest run
again without it.  Before each N, an engine whose measured bytes per object at
a smaller N would not fit in the memory now available is left out too.
"""

from __future__ import annotations

import collections
import json
import os
import re
import subprocess
import sys

from . import report
from .engines import ENGINES
from .runner import log, measure_memory

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PANELS = (("build", "build the index (s)"),
          ("name_eq", "selective query: name = <existing> (s)"),
          ("colour_eq", "unselective query: colour = 'red', ~10% (s)"),
          ("index_bytes", "index bytes per object"))

# A run holds two object sets (the reference's and the engine's) besides the
# index; memory needed at N is estimated as this many times what one engine's
# objects and index took per object at a smaller N.
MEMORY_MARGIN = 2.0

_ENGINE_LINE = re.compile(r"^(?:check: (\S+): building|timing (\S+) \.\.\.)")


def engine_at_failure(lines) -> str | None:
    """The engine a child was building or timing when it stopped."""
    for line in reversed(list(lines)):
        m = _ENGINE_LINE.match(line)
        if m:
            return m.group(1) or m.group(2)
    return None


def available_bytes() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _child_cmd(args, n, engines, json_path, md_path):
    cmd = [sys.executable, "-m", "benchmarks", "--n", str(n), "--seed", str(args.seed),
           "--engines", ",".join(engines), "--repeats", str(args.repeats),
           "--warmup", str(args.warmup), "--min-sample", str(args.min_sample),
           "--budget", str(args.budget), "--json", json_path, "--markdown", md_path,
           "--chart", "", "--no-derived", "--no-micro"]
    if args.build_repeats:
        cmd += ["--build-repeats", str(args.build_repeats)]
    if args.queries:
        cmd += ["--queries", args.queries]
    if args.no_memory:
        cmd += ["--no-memory"]
    return cmd


def _run_child(cmd, n):
    """Run one child, echoing its log; (return code, last log lines)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    tail = collections.deque(maxlen=200)
    with subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True) as proc:
        for line in proc.stderr:
            line = line.rstrip("\n")
            tail.append(line)
            log(f"[N={n:,}] {line}")
    return proc.returncode, list(tail)


def _merge(into, part):
    if into is None:
        return part
    into["timings"] += part["timings"]
    for key in ("skipped", "unsupported", "notes", "memory"):
        if part.get(key):
            into.setdefault(key, {}).update(part[key])
    return into


def run_one_n(args, n, engines, out_dir, notes) -> dict | None:
    """All of ``engines`` at ``n``, retrying without any engine that fails."""
    json_path = os.path.join(out_dir, f"scale-{n}.json")
    md_path = os.path.join(out_dir, f"scale-{n}.md")
    merged, remaining = None, list(engines)
    while remaining:
        if os.path.exists(json_path):
            os.remove(json_path)
        rc, tail = _run_child(_child_cmd(args, n, remaining, json_path, md_path), n)
        part = None
        if os.path.exists(json_path):
            with open(json_path) as f:
                part = json.load(f)
        if rc == 0:
            return _merge(merged, part)
        if any("engines disagree" in line for line in tail):
            notes.append(f"N={n:,}: engines disagree; nothing timed at this N "
                         "(see the log)")
            return merged
        done = [t["engine"] for t in part["timings"]] if part else []
        merged = _merge(merged, part) if part else merged
        failed = engine_at_failure(tail)
        how = f"killed by signal {-rc}" if rc < 0 else f"exit status {rc}"
        last = tail[-1] if tail else ""
        if failed is None or failed in done:
            notes.append(f"N={n:,}: the run failed ({how}) outside any engine: {last}")
            return merged
        notes.append(f"N={n:,}: {failed} skipped: its run failed ({how}): {last}")
        if merged is not None:
            merged.setdefault("skipped", {})[failed] = f"failed at N={n:,} ({how})"
        remaining = [e for e in remaining if e != failed and e not in done]
    return merged


def _predicted_misfits(engines, n, previous, available):
    """Engines whose bytes per object at a smaller N would not fit now."""
    out = {}
    if not previous or available is None:
        return out
    for e in engines:
        m = (previous.get("memory") or {}).get(e)
        if m:
            need = MEMORY_MARGIN * (m["objects_per_obj"] + m["index_per_obj"]) * n
            if need > available:
                out[e] = (f"would need ~{need / 2**30:.1f} GiB at N={n:,} "
                          f"(from N={previous['n']:,}); {available / 2**30:.1f} GiB available")
    return out


def run_scale(args) -> int:
    ns = sorted({int(x.replace("_", "")) for x in args.scale.split(",") if x.strip()})
    everyone = [x.strip() for x in args.engines.split(",") if x.strip()] or list(ENGINES)
    largest = [x.strip() for x in args.scale_engines.split(",") if x.strip()] or everyone
    for name in set(everyone) | set(largest):
        if name not in ENGINES:
            raise SystemExit(f"unknown engine {name!r}; choose from {', '.join(ENGINES)}")
    out_dir = os.path.dirname(os.path.abspath(args.json))
    os.makedirs(out_dir, exist_ok=True)
    runs, notes, previous = {}, [], None
    for n in ns:
        engines = largest if n == ns[-1] else everyone
        misfits = _predicted_misfits(engines, n, previous, available_bytes())
        for e, why in misfits.items():
            notes.append(f"N={n:,}: {e} skipped: {why}")
            log(f"scale: {e} skipped at N={n:,}: {why}")
        engines = [e for e in engines if e not in misfits]
        log(f"scale: N={n:,}: {', '.join(engines)}")
        res = run_one_n(args, n, engines, out_dir, notes) if engines else None
        if res is None:
            continue
        missing = [t["engine"] for t in res["timings"]
                   if not args.no_memory and t["engine"] not in (res.get("memory") or {})]
        if missing:  # timed before a failed engine's run, so not yet measured
            res.setdefault("memory", {}).update(measure_memory(missing, n, args.seed))
        res.setdefault("skipped", {}).update(misfits)
        with open(os.path.join(out_dir, f"scale-{n}.json"), "w") as f:
            json.dump(res, f, indent=1)
        runs[n] = res
        previous = res
    md = scale_markdown(runs, notes)
    path = os.path.join(out_dir, "scale.md")
    with open(path, "w") as f:
        f.write(md)
    print(md)
    log(f"wrote {path}")
    if args.chart:
        try:
            write_scale_chart(runs, args.chart)
            log(f"wrote {args.chart}")
        except ImportError:
            log("note: matplotlib not installed; no chart written")
    return 0 if runs else 1


def series(runs: dict) -> dict:
    """panel -> engine -> [(N, value)], from each N's results."""
    out = {key: {} for key, _ in PANELS}
    for n, res in sorted(runs.items()):
        rows = report.summarise(res)
        for key in ("build", "name_eq", "colour_eq"):
            for e, v in rows.get(key, {}).items():
                if v is not None:
                    out[key].setdefault(e, []).append((n, v))
        for e, m in (res.get("memory") or {}).items():
            out["index_bytes"].setdefault(e, []).append((n, m["index_per_obj"]))
    return out


def scale_markdown(runs: dict, notes: list) -> str:
    parts = ["# Corvalex at scale", ""]
    data = series(runs)
    ns = sorted(runs)
    for key, title in PANELS:
        engines = data[key]
        if not engines:
            continue
        parts += [f"**{title}**", "", "| engine | " + " | ".join(f"N = {n:,}" for n in ns) + " |",
                  "|---|" + "---|" * len(ns)]
        for e, points in engines.items():
            at = dict(points)
            cells = [("n/a" if n not in at else
                      f"{at[n]:.0f}" if key == "index_bytes" else report.fmt_time(at[n]))
                     for n in ns]
            parts.append(f"| {e} | " + " | ".join(cells) + " |")
        parts.append("")
    if notes:
        parts += ["Notes:", ""] + [f"- {x}" for x in notes] + [""]
    for n in ns:
        res = runs[n]
        parts += [f"## N = {n:,}", "", report.markdown_table(res), ""]
        mem = report.memory_table(res)
        if mem:
            parts += [mem, ""]
        if res.get("skipped"):
            parts += ["Skipped: " + "; ".join(f"{k} ({v})" for k, v in res["skipped"].items()),
                      ""]
    return "\n".join(parts)


def write_scale_chart(runs: dict, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    data = series(runs)
    fig, axes = plt.subplots(2, 2, figsize=(11, 8.5))
    for ax, (key, title) in zip(axes.flat, PANELS):
        for e, points in data[key].items():
            points = [(n, v) for n, v in points if v > 0]
            if points:
                xs, ys = zip(*points)
                ax.plot(xs, ys, marker="o", label=e, color=report.COLOURS.get(e),
                        linewidth=2.5 if e == "corvalex" else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(title, fontsize="medium")
        ax.set_xlabel("N objects")
        ax.grid(which="both", alpha=0.3)
    handles = {}
    for ax in axes.flat:
        for h, lab in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(lab, h)
    fig.legend(list(handles.values()), list(handles), loc="lower center",
               ncol=max(1, len(handles)), frameon=False)
    fig.suptitle("Corvalex and the alternatives against N (log-log, lower is better)")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)
