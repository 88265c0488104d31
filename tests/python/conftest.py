import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

import Corvalex

# Set by scripts/test-sanitized.sh, as CMake's switch of the same name.
SANITIZED = os.environ.get("CORVALEX_SANITIZE") == "1"

# Sanitized builds run several times slower: no per-example time limit there.
settings.register_profile("sanitized", deadline=None)
if SANITIZED:
    settings.load_profile("sanitized")


def pytest_configure(config):
    """Refuses to test an extension built before the latest source change."""
    sources = pathlib.Path(__file__).resolve().parents[2] / "src"
    built = pathlib.Path(Corvalex.__file__).stat().st_mtime
    changed = [p for p in sources.rglob("*.[ch]pp") if p.stat().st_mtime > built]
    if changed:
        raise pytest.UsageError(
            f"{Corvalex.__file__} is older than {changed[0]}: "
            "run scripts/test.sh, which builds the extension from the current sources"
        )


@pytest.fixture
def run_isolated():
    """Runs Python code in a child interpreter and returns its stdout lines.

    A crash or a hang there fails the test instead of taking the run down.
    """

    def run(code, timeout=60):
        try:
            result = subprocess.run(
                [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                capture_output=True,
                text=True,
                timeout=timeout,
            )
        except subprocess.TimeoutExpired:
            pytest.fail(f"child interpreter hung for {timeout} s")
        assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
        return result.stdout.splitlines()

    return run
