"""Smoke run of the benchmark suite: every available engine must return the
same objects, in the same order, for every query (no timing)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))  # the repository root

from benchmarks import cli  # noqa: E402
from benchmarks.derived import run_derived  # noqa: E402
from benchmarks.engines import ENGINES  # noqa: E402
from benchmarks.engines.pyindex import PyIndexEngine  # noqa: E402
from benchmarks.runner import run_check  # noqa: E402
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


@pytest.mark.parametrize("engine", [_DropsLast, _Reversed])
def test_check_reports_a_faulty_engine(monkeypatch, engine):
    monkeypatch.setitem(ENGINES, engine.name, engine)
    res = run_check(generate(300, seed=3), ["scan", engine.name], logger=lambda *a: None)
    bad = {(d.engine, d.query) for d in res.disagreements}
    assert not res.ok
    assert ("dropslast" if engine is _DropsLast else "reversed", "colour_eq") in bad
    assert all(d.engine == engine.name for d in res.disagreements)
    # The miss returns nothing, so no engine can get it wrong this way.
    assert (engine.name, "miss") not in bad


def test_check_only_exit_status(monkeypatch, capsys):
    assert cli.main(["--n", "300", "--check-only", "--engines", "pyindex,scan,sqlite"]) == 0
    monkeypatch.setitem(ENGINES, _DropsLast.name, _DropsLast)
    assert cli.main(["--n", "300", "--check-only", "--engines", "scan,dropslast"]) == 1
    assert "DISAGREEMENT" in capsys.readouterr().err


def test_missing_package_is_skipped_not_fatal(monkeypatch):
    class _Missing(PyIndexEngine):
        name = "missing"
        packages = ("no_such_package_for_the_benchmarks",)

    monkeypatch.setitem(ENGINES, _Missing.name, _Missing)
    res = run_check(generate(200, seed=1), ["scan", "missing"], logger=lambda *a: None)
    assert res.engines == ["scan"] and "missing" in res.skipped
    assert res.ok


def test_derived_rows_agree_and_run():
    _corvalex_with_index()
    res = run_derived(generate(N, seed=7), repeats=1, warmup=0, min_sample=0,
                      engines=["corvalex", "pandas", "sqlite"], memory=False,
                      logger=lambda *a: None)
    assert res.ok, res.disagreements
    assert {"view", "rebase", "reduce", "union"} <= set(res.rows)
    assert all(samples for times in res.rows.values() for samples in times.values())
