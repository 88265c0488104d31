"""Smoke run of the benchmark suite: every available engine must return the
same objects, in the same order, for every query (no timing)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))  # the repository root

import json  # noqa: E402

from benchmarks import cli  # noqa: E402
from benchmarks.derived import run_derived  # noqa: E402
from benchmarks.engines import ENGINES  # noqa: E402
from benchmarks.engines.pyindex import PyIndexEngine  # noqa: E402
from benchmarks.micro import run_micro  # noqa: E402
from benchmarks.queries import build_queries  # noqa: E402
from benchmarks.runner import gather_call, run_check  # noqa: E402
from benchmarks.workload import generate  # noqa: E402

N = 2000


def _corvalex_with_index():
    mod = pytest.importorskip("Corvalex")
    if not hasattr(mod, "Index"):
        pytest.skip("Corvalex has no Index yet")
    return mod


def test_all_available_engines_agree_with_corvalex():
    _corvalex_with_index()
    res = run_check(generate(N, seed=7), logger=lambda *a: None)
    assert "corvalex" in res.engines, res.skipped.get("corvalex")
    assert {"pyindex", "scan", "sqlite"} <= set(res.engines)
    # Every keyword query ran on Corvalex, and the selective ones matched something.
    assert {"name_eq", "size_eq", "colour_eq", "size_in", "colour_size",
            "colour_flag", "miss"} <= set(res.checked["corvalex"])
    assert res.counts["name_eq"] >= 1 and res.counts["miss"] == 0
    assert res.ok, "\n".join(d.describe() for d in res.disagreements)


class _DropsLast(PyIndexEngine):
    """An engine with a planted fault: loses the last object of a result."""
    name = "dropslast"

    def prepare(self, query):
        run = super().prepare(query)
        return lambda: run()[:-1]


class _Reversed(PyIndexEngine):
    """Right objects, wrong order."""
    name = "reversed"

    def prepare(self, query):
        run = super().prepare(query)
        return lambda: run()[::-1]


class _IgnoresColourWrites(PyIndexEngine):
    """Sets the objects' colour but leaves its index behind."""
    name = "stalecolour"

    def write(self, batch):
        if batch.attr != "colour":
            return super().write(batch)
        for pos, v in zip(batch.positions, batch.values):
            setattr(self.items[pos], batch.attr, v)


@pytest.mark.parametrize("engine", [_DropsLast, _Reversed, _IgnoresColourWrites])
def test_check_reports_a_faulty_engine(monkeypatch, engine):
    monkeypatch.setitem(ENGINES, engine.name, engine)
    res = run_check(generate(300, seed=3), ["scan", engine.name], logger=lambda *a: None)
    bad = {(d.engine, d.query, d.phase) for d in res.disagreements}
    assert not res.ok
    phase = "after writes" if engine is _IgnoresColourWrites else "before writes"
    assert (engine.name, "colour_eq", phase) in bad
    assert all(d.engine == engine.name for d in res.disagreements)
    # The miss returns nothing, so no engine can get it wrong this way.
    assert not any(query == "miss" for _, query, _ in bad)


def test_gather_floor_collects_what_each_query_returns():
    items = [object() for _ in range(10)]
    # itemgetter of one position returns the object itself; of none it cannot be made.
    assert gather_call(items, [])() == []
    assert gather_call(items, [4])() == [items[4]]
    assert gather_call(items, [9, 0, 3])() == [items[9], items[0], items[3]]

    w = generate(N, seed=7)
    res = run_check(w, ["pyindex"], logger=lambda *a: None)
    plain, owners = w.make_plain()
    engine = PyIndexEngine()
    engine.build(plain, owners)
    for q in build_queries(w):
        gathered = gather_call(plain, res.positions[q.key])()
        returned = engine.prepare(q)()
        assert len(gathered) == len(returned) == res.counts[q.key], q.key
        assert all(a is b for a, b in zip(gathered, returned)), q.key


def test_check_only_exit_status(monkeypatch, capsys):
    assert cli.main(["--n", "300", "--check-only", "--engines", "pyindex,scan,sqlite"]) == 0
    monkeypatch.setitem(ENGINES, _DropsLast.name, _DropsLast)
    assert cli.main(["--n", "300", "--check-only", "--engines", "scan,dropslast"]) == 1
    assert "DISAGREEMENT" in capsys.readouterr().err


def test_missing_package_or_memory_is_skipped_not_fatal(monkeypatch):
    class _Missing(PyIndexEngine):
        name = "missing"
        packages = ("no_such_package_for_the_benchmarks",)

    class _TooBig(PyIndexEngine):
        name = "toobig"

        def build(self, items, owners):
            raise MemoryError

    monkeypatch.setitem(ENGINES, _Missing.name, _Missing)
    monkeypatch.setitem(ENGINES, _TooBig.name, _TooBig)
    res = run_check(generate(200, seed=1), ["scan", "missing", "toobig"],
                    logger=lambda *a: None)
    assert res.engines == ["scan"] and {"missing", "toobig"} <= set(res.skipped)
    assert res.ok
    # The timed run leaves out what the check could not build.
    assert cli.main(["--n", "200", "--engines", "scan,toobig", "--repeats", "1",
                     "--no-memory", "--no-micro", "--no-derived", "--chart", "",
                     "--json", "", "--markdown", ""]) == 0


def test_derived_rows_agree_and_run():
    _corvalex_with_index()
    res = run_derived(generate(N, seed=7), repeats=1, warmup=0, min_sample=0,
                      engines=["corvalex", "pandas", "sqlite"], memory=False,
                      logger=lambda *a: None)
    assert res.ok, res.disagreements
    assert {"view", "rebase", "reduce", "union"} <= set(res.rows)
    assert all(samples for times in res.rows.values() for samples in times.values())


def test_fixed_cost_rows_check_their_results_and_run():
    _corvalex_with_index()
    rows = run_micro(generate(N, seed=7), repeats=1, min_sample=0, logger=lambda *a: None)
    assert {r["key"] for r in rows} == {"write_loose", "write_loose_slots", "lookup_small",
                                        "lookup_one", "write_size", "write_colour"}
    assert all(r["corvalex"]["median"] > 0 and r["ref"]["median"] > 0 for r in rows)


def test_scale_runs_each_n_and_limits_engines_at_the_largest(tmp_path):
    out = tmp_path / "benchmark.json"
    assert cli.main(["--scale", "300,600", "--engines", "pyindex,scan",
                     "--scale-engines", "pyindex", "--repeats", "1", "--warmup", "0",
                     "--min-sample", "0", "--no-memory", "--chart", "",
                     "--json", str(out)]) == 0
    small = json.loads((tmp_path / "scale-300.json").read_text())
    large = json.loads((tmp_path / "scale-600.json").read_text())
    assert (small["n"], large["n"]) == (300, 600)
    assert [t["engine"] for t in small["timings"]] == ["pyindex", "scan"]
    assert [t["engine"] for t in large["timings"]] == ["pyindex"]
    md = (tmp_path / "scale.md").read_text()
    assert "## N = 300" in md and "## N = 600" in md
