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
