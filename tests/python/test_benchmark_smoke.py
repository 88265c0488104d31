"""The benchmark suite runs end to end on a tiny N, and its check catches an
engine that returns wrong objects (no timing is asserted)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))  # the repository root

from benchmarks import cli  # noqa: E402
from benchmarks.engines import ENGINES  # noqa: E402
from benchmarks.engines.pyindex import PyIndexEngine  # noqa: E402


class _DropsLast(PyIndexEngine):
    """A planted fault: loses the last object of every result."""

    name = "dropslast"

    def prepare(self, query):
        run = super().prepare(query)
        return lambda: run()[:-1]


def test_the_suite_runs_and_its_check_catches_a_wrong_engine(monkeypatch, capsys, tmp_path):
    out = tmp_path / "benchmark.json"
    assert cli.main(["--n", "400", "--engines", "corvalex,pyindex,scan,sqlite", "--repeats", "1",
                     "--warmup", "0", "--min-sample", "0", "--no-memory", "--chart", "",
                     "--json", str(out), "--markdown", str(tmp_path / "table.md")]) == 0
    assert "corvalex" in out.read_text() and "| build the index" in (tmp_path / "table.md").read_text()
    monkeypatch.setitem(ENGINES, _DropsLast.name, _DropsLast)
    assert cli.main(["--n", "300", "--check-only", "--engines", "corvalex,dropslast"]) == 1
    assert "DISAGREEMENT" in capsys.readouterr().err
