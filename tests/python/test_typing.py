"""The installed stubs: found by type checkers, true to the module, enough for strict code."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _run(*args, cwd):
    # The checks are about the installed package: a sanitized build put ahead
    # of it on the path, with its preloaded runtime, is left out.
    env = {
        key: value
        for key, value in os.environ.items()
        if key not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS")
    }
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


def test_strict_mypy_passes_on_the_examples_and_typed_usage(tmp_path):
    files = [ROOT / "examples" / "basic.py", ROOT / "tests" / "typing" / "usage.py"]
    result = _run(
        "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, files),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_rejects_a_wrong_call(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from Corvalex import Index, PyQueryExpr\n"
        "view = Index().reduced_query(PyQueryExpr.eq('a', 1))\n"
        "objects: list[int] = view.rebase().collect()\n"
    )
    result = _run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(wrong),
                  cwd=tmp_path)
    assert result.returncode == 1
    assert 'has type "list[Indexable]"' in result.stdout


def test_typed_usage_runs():
    result = _run(str(ROOT / "tests" / "typing" / "usage.py"), cwd=ROOT)
    assert result.returncode == 0, result.stderr
