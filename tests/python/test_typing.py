"""The installed stubs: found by type checkers, true to the module, enough for strict code."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _run(*args, cwd):
    # The checks are about the installed package: a sanitized build put ahead
    # of it on the path, with its preloaded runtime, is left out.
    left_out = ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "CORVALEX_SANITIZE")
    env = {key: value for key, value in os.environ.items() if key not in left_out}
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )


def _installed_module():
    result = _run("-c", "import Corvalex; print(Corvalex.__file__)", cwd=ROOT)
    assert result.returncode == 0, result.stderr
    return pathlib.Path(result.stdout.strip())


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    source = (ROOT / "src" / "python" / "Corvalex.pyi").read_text()
    site = _installed_module().parent
    assert (site / "Corvalex.pyi").read_text() == source
    assert (site / "Corvalex-stubs" / "__init__.pyi").read_text() == source


def test_stubtest_finds_no_difference(tmp_path):
    result = _run("-m", "mypy.stubtest", "--mypy-config-file", os.devnull, "Corvalex", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_accepts_the_examples_and_typed_usage_and_rejects_a_wrong_call(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from Corvalex import Index, PyQueryExpr\n"
        "view = Index().reduced_query(PyQueryExpr.eq('a', 1))\n"
        "objects: list[int] = view.rebase().collect()\n"
    )
    files = [ROOT / "examples" / "basic.py", ROOT / "tests" / "typing" / "usage.py", wrong]
    result = _run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, files),
                  cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("wrong.py:3:"), result.stdout
    assert 'has type "list[Indexable]"' in errors[0]


def test_typed_usage_runs():
    result = _run(str(ROOT / "tests" / "typing" / "usage.py"), cwd=ROOT)
    assert result.returncode == 0, result.stderr
