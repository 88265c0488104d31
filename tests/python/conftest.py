import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# Sanitized builds run several times slower: no per-example time limit there.
settings.register_profile("sanitized", deadline=None)


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
