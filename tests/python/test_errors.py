"""The error boundary: internal fatal errors surface as PanicException."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest


def _testhooks_path():
    directory = os.environ.get("CORVALEX_TESTHOOKS_DIR")
    if not directory:
        return None
    found = sorted(pathlib.Path(directory).glob("corvalex_testhooks*.so"))
    return found[0] if found else None


@pytest.fixture(scope="module")
def testhooks():
    path = _testhooks_path()
    if path is None:
        pytest.skip("the test-only extension is built by scripts/test.sh")
    module_spec = importlib.util.spec_from_file_location("corvalex_testhooks", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_panic_becomes_panic_exception(testhooks):
    panic_type = testhooks.panic_exception()
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    with pytest.raises(panic_type) as raised:
        testhooks.panic("called `Result::unwrap()` on an `Err` value")
    assert raised.value.args == ("called `Result::unwrap()` on an `Err` value",)
    # Not an Exception: generic handlers do not swallow it.
    assert not isinstance(raised.value, Exception)


def test_panic_reports_one_line_and_the_process_survives():
    path = _testhooks_path()
    if path is None:
        pytest.skip("the test-only extension is built by scripts/test.sh")
    code = (
        "import importlib.util, sys\n"
        f"found = importlib.util.spec_from_file_location('corvalex_testhooks', {str(path)!r})\n"
        "m = importlib.util.module_from_spec(found); found.loader.exec_module(m)\n"
        "for _ in range(3):\n"
        "    try:\n"
        "        m.panic('Missing child')\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, e.args[0])\n"
        "print('alive')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stdout.splitlines() == ["PanicException Missing child"] * 3 + ["alive"]
    report = result.stderr.strip().splitlines()
    assert len(report) == 3 and all("Missing child" in line for line in report)
