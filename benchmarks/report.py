"""Tables, goal checks, JSON and the chart."""

from __future__ import annotations

import statistics
from dataclasses import asdict

from .workload import SCHEMA as SYNTHETIC


def fmt_time(s) -> str:
    if s is None:
        return "n/a"
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def fmt_ratio(r) -> str:
    if r >= 10:
        return f"{r:.0f}x"
    if r >= 0.1:
        return f"{r:.1f}x"
    return f"{r:.2g}x"


def med(samples):
    return statistics.median(samples) if samples else None


def write_rows(results: dict) -> list:
    """The write rows, as the results name them (the synthetic workload's
    for results that name none)."""
    return results.get("write_rows") or [asdict(row) for row in SYNTHETIC.write_rows]


def summarise(results: dict) -> dict:
    """Median seconds per row (query key, 'build', write rows) and engine.
    Write rows are per assignment: a batch's time over its size."""
    rows = {}
    for t in results["timings"]:
        name = t["engine"]
        rows.setdefault("build", {})[name] = med(t["build"])
        for key, samples in t["queries"].items():
            rows.setdefault(key, {})[name] = med(samples)
        for key in (row["key"] for row in write_rows(results)):
            if t.get(key):
                rows.setdefault(key, {})[name] = med(t[key]) / results["counts"][key]
    return rows


def baseline_engine(results) -> str:
    names = [t["engine"] for t in results["timings"]]
    return "corvalex" if "corvalex" in names else (names[0] if names else "")


def row_order(results):
    return (["build"] + [q["key"] for q in results["queries"]]
            + [row["key"] for row in write_rows(results)])


def short_rows(results: dict) -> set:
    """(row, engine) pairs measured with fewer samples than requested."""
    out = set()
    for t in results["timings"]:
        if t["build"] and len(t["build"]) < results["build_repeats"]:
            out.add(("build", t["engine"]))
        for key in (row["key"] for row in write_rows(results)):
            if t.get(key) and len(t[key]) < results["repeats"]:
                out.add((key, t["engine"]))
        for k, v in t["queries"].items():
            if len(v) < results["repeats"]:
                out.add((k, t["engine"]))
    return out


def markdown_table(results: dict) -> str:
    rows = summarise(results)
    short = short_rows(results)
    engines = [t["engine"] for t in results["timings"]]
    base = baseline_engine(results)
    floors = {k: med(v) for k, v in results["floors"].items()}
    gathers = {k: med(v) for k, v in (results.get("gather_floors") or {}).items()}
    labels = {q["key"]: q["label"] for q in results["queries"]}
    labels["build"] = "build the index (all objects)"
    labels.update((row["key"], row["label"]) for row in write_rows(results))
    counts = results["counts"]
    head = ["query", "results", "slice floor", "gather floor"] + engines
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key in row_order(results):
        if key not in rows and key not in floors:
            continue
        times = rows.get(key, {})
        b = times.get(base)
        cells = [labels.get(key, key), f"{counts[key]:,}" if key in counts else "",
                 fmt_time(floors.get(key)) if key in floors else "",
                 fmt_time(gathers.get(key)) if key in gathers else ""]
        for e in engines:
            t = times.get(e)
            if t is None:
                cells.append("n/a")
            else:
                mark = "†" if (key, e) in short else ""
                if e == base:
                    cells.append(f"**{fmt_time(t)}**{mark}")
                elif b is None:
                    cells.append(f"{fmt_time(t)}{mark}")
                else:
                    cells.append(f"{fmt_time(t)}{mark} ({fmt_ratio(t / b)})")
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def memory_table(results: dict) -> str:
    mem = results.get("memory") or {}
    if not mem:
        return ""
    out = ["| engine | objects (B/object) | index (B/object) | total (B/object) |",
           "|---|---|---|---|"]
    for name, m in mem.items():
        o, i = m["objects_per_obj"], m["index_per_obj"]
        out.append(f"| {name} | {o:.0f} | {i:.0f} | {o + i:.0f} |")
    return "\n".join(out)


def goal_checks(results: dict) -> list[str]:
    """Plain-language list of where Corvalex meets or misses its goals."""
    rows = summarise(results)
    if "corvalex" not in {t["engine"] for t in results["timings"]}:
        return ["Corvalex was not benchmarked; goals not evaluated."]
    floors = {k: med(v) for k, v in results["floors"].items()}
    gathers = {k: med(v) for k, v in (results.get("gather_floors") or {}).items()}
    kw_keys = [q["key"] for q in results["queries"] if q["keyword"]]
    lines = []
    for key in kw_keys:
        times = rows.get(key, {})
        c = times.get("corvalex")
        if c is None:
            continue
        peers = {e: t for e, t in times.items() if e != "corvalex" and t is not None}
        beaten = [e for e, t in peers.items() if t <= c]
        if beaten:
            lines.append(f"MISS {key}: not faster than {', '.join(beaten)} "
                         f"({fmt_time(c)} vs " +
                         ", ".join(fmt_time(peers[e]) for e in beaten) + ")")
        else:
            lines.append(f"ok   {key}: faster than every peer")
    for q in results["queries"]:
        key = q["key"]
        c = rows.get(key, {}).get("corvalex")
        k = results["counts"].get(key, 0)
        if c is None or k < 1000 or not gathers.get(key):
            continue
        r = c / gathers[key]
        slice_part = f", {c / floors[key]:.2f}x the slice floor" if floors.get(key) else ""
        lines.append(f"{'ok  ' if r <= 0.5 else 'MISS'} {key}: {r:.2f}x the gather floor "
                     f"(goal <= 0.5x){slice_part}; {k:,} results")
    for key, what in ((row["key"], f"`{row['attr']}`") for row in write_rows(results)):
        w = rows.get(key, {})
        if "corvalex" in w and "pyindex" in w:
            r = w["corvalex"] / w["pyindex"]
            lines.append(f"{'ok  ' if r <= 2 else 'MISS'} {key}: {r:.2f}x the pure-Python "
                         f"index's re-indexing per {what} write (goal <= 2x)")
    b = rows.get("build", {})
    if "corvalex" in b and "pyindex" in b:
        r = b["corvalex"] / b["pyindex"]
        lines.append(f"{'ok  ' if r <= 1 else 'MISS'} build: {r:.2f}x the pure-Python index")
    mem = results.get("memory") or {}
    if "corvalex" in mem and "pyindex" in mem:
        c, p = mem["corvalex"], mem["pyindex"]
        ci, pi = c["index_per_obj"], p["index_per_obj"]
        ct, pt = ci + c["objects_per_obj"], pi + p["objects_per_obj"]
        lines.append(f"{'ok  ' if ci <= pi else 'MISS'} memory (index only): "
                     f"{ci:.0f} vs {pi:.0f} B/object for the pure-Python index")
        lines.append(f"{'ok  ' if ct <= pt else 'MISS'} memory (objects + index): "
                     f"{ct:.0f} vs {pt:.0f} B/object")
    return lines


def markdown_report(results: dict) -> str:
    workload = results.get("workload", "synthetic")
    title = "Corvalex benchmark" + ("" if workload == "synthetic" else f": {workload}")
    parts = [f"# {title}, N = {results['n']:,}", "",
             f"Python {results['python']}, {results['machine']}; seed {results['seed']}; "
             f"median of {results['repeats']} repeats after {results['warmup']} warm-up; "
             f"times per call; (Nx) = time relative to **{baseline_engine(results)}**; "
             "slice floor = slicing a list of as many existing objects (`items[:k]`); "
             "gather floor = the very objects the query returns, in its order, gathered "
             "from the object list by `operator.itemgetter`.", "",
             markdown_table(results), "",
             f"† fewer samples than requested: the row exceeded the {results['budget']:.0f} s "
             "budget per engine and row.", ""]
    mem = memory_table(results)
    if mem:
        parts += ["Memory: RSS growth in a fresh interpreter per engine, per object "
                  "(objects = creating the N objects, index = building the index over them).",
                  "", mem, ""]
    parts += ["Versions: " + "; ".join(f"{t['engine']}: {t['version']}"
                                       for t in results["timings"]), ""]
    if results.get("skipped"):
        parts += ["Skipped: " + "; ".join(f"{k} ({v})" for k, v in results["skipped"].items()), ""]
    unsupported = results.get("unsupported") or {}
    if any(unsupported.values()):
        parts += ["Not run (feature not available yet): " + "; ".join(
            f"{k}: {', '.join(v)}" for k, v in unsupported.items() if v), ""]
    parts += ["Goals:", "", "```", *goal_checks(results), "```", ""]
    return "\n".join(parts)


COLOURS = {"corvalex": "#d62728", "pyindex": "#1f77b4", "scan": "#7f7f7f",
           "sqlite": "#2ca02c", "pandas": "#9467bd", "duckdb": "#ff7f0e",
           "ducks": "#8c564b", "littletable": "#e377c2"}


def write_chart(results: dict, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = summarise(results)
    engines = [t["engine"] for t in results["timings"]]
    floors = {k: med(v) for k, v in results["floors"].items()}
    keys = [k for k in row_order(results) if k in rows]
    width = 0.8 / max(1, len(engines))
    fig, ax = plt.subplots(figsize=(max(10, 0.9 * len(keys) + 3), 6.5))
    for i, e in enumerate(engines):
        xs = [j + (i - (len(engines) - 1) / 2) * width for j in range(len(keys))]
        ys = [rows[k].get(e) for k in keys]
        ax.bar([x for x, y in zip(xs, ys) if y], [y for y in ys if y], width,
               label=e, color=COLOURS.get(e))
        for x, y in zip(xs, ys):
            if y is None:  # not supported (yet) by this engine
                ax.annotate("n/a", (x, 0), xycoords=("data", "axes fraction"),
                            xytext=(0, 3), textcoords="offset points", ha="center",
                            va="bottom", rotation=90, fontsize=7, color=COLOURS.get(e))
    gathers = {k: med(v) for k, v in (results.get("gather_floors") or {}).items()}
    for values, style, label in (
            (floors, "dashed", "slice floor (list slice of k objects)"),
            (gathers, "dotted", "gather floor (itemgetter of the same k objects)")):
        fx = [j for j, k in enumerate(keys) if values.get(k)]
        if fx:
            ax.hlines([values[keys[j]] for j in fx], [j - 0.42 for j in fx],
                      [j + 0.42 for j in fx], colors="black", linestyles=style,
                      linewidth=1.2, label=label)
    ax.set_yscale("log")
    ax.set_xticks(range(len(keys)))
    ax.set_xticklabels(keys, rotation=30, ha="right")
    ax.set_ylabel("median time per call or per write (s, log scale)")
    workload = results.get("workload", "synthetic")
    ax.set_title(f"Corvalex vs. alternatives, {workload}, N = {results['n']:,} objects "
                 "(lower is better)")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=5, fontsize="small",
              frameon=False)
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
