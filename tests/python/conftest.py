import gc
import sys

import pytest
from hypothesis import settings

import Corvalex

# Sanitized builds run several times slower: no per-example time limit there.
settings.register_profile("sanitized", deadline=None)


@pytest.fixture
def refcount_stable():
    """Runs a callable in a warmed-up loop and checks it leaks no references."""

    def check(action, rounds=200):
        for _ in range(20):
            action()
        gc.collect()
        before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
        blocks_before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        if before is not None:
            assert sys.gettotalrefcount() - before < rounds
        assert sys.getallocatedblocks() - blocks_before < rounds

    return check


@pytest.fixture
def module():
    return Corvalex


@pytest.fixture
def run_isolated():
    """Runs Python code in a child interpreter and returns its stdout lines.

    A crash or a hang there fails the test instead of taking the run down.
    """
    import subprocess
    import textwrap

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
