"""The error boundary: an internal fatal error surfaces as PanicException,
reports one line, and the process goes on."""

import os
import pathlib
import subprocess
import sys

import pytest


def test_panics_become_panic_exception_and_the_process_survives():
    found = sorted(pathlib.Path(os.environ.get("CORVALEX_TESTHOOKS_DIR", "/nonexistent")).glob(
        "corvalex_testhooks*.so"))
    if not found:
        pytest.skip("the test-only extension is built by scripts/test.sh")
    code = f"""
import sys
sys.path.insert(0, {str(found[0].parent)!r})
import corvalex_testhooks as hooks
panic = hooks.panic_exception()
print(panic.__name__, panic.__bases__ == (BaseException,))
for message in ["called `Result::unwrap()` on an `Err` value", "Missing child", "Missing child"]:
    try:
        hooks.panic(message)
    except Exception:
        print("caught as Exception")
    except BaseException as error:
        print(type(error) is panic, error.args == (message,))
print("alive")
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException True"] + ["True True"] * 3 + ["alive"]
    report = result.stderr.strip().splitlines()
    assert len(report) == 3 and "Missing child" in report[-1] and "unwrap" in report[0]
