"""Runs thread_stress.py in a child interpreter: a few seconds by default,
CORVALEX_SOAK_SECONDS for a longer soak. A crash, a hang (the child's
watchdog dumps every thread), a failure other than the documented
RuntimeError, or an index disagreeing with its objects fails the test."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

PROGRAM = pathlib.Path(__file__).with_name("thread_stress.py")


def test_threads_mixing_every_operation_leave_every_index_agreeing():
    seconds = float(os.environ.get("CORVALEX_SOAK_SECONDS", "3"))
    try:
        result = subprocess.run(
            [sys.executable, "-X", "faulthandler", str(PROGRAM), str(seconds)],
            capture_output=True,
            text=True,
            timeout=seconds * 3 + 240,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the stress run hung past its watchdog")
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-5000:]}"
    figures = json.loads(result.stdout.splitlines()[-1])
    print(figures)
    assert figures["failures"] == []
    assert figures["disagreements"] == 0, figures["examples"]
    # The threads did contend: some calls were refused.
    assert figures["operations"] > 1000 and figures["refusals"] > 0, figures
