"""The example, and every Python block of the README and the guide, run as written."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]


def test_the_example_runs():
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "basic.py"), "--objects", "20000"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert "after union, green: ['lime']" in result.stdout
    assert "Corvalex: 40 red objects of 100 to 109 g" in result.stdout


def test_the_guide_is_linked_from_the_readme():
    assert "(docs/guide.md)" in (ROOT / "README.md").read_text()


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda path: path.name)
def test_python_blocks_run_in_order(document):
    blocks = re.findall(r"^```python\n(.*?)^```", document.read_text(), re.S | re.M)
    assert blocks
    namespace = {"__name__": f"docs_{document.stem}"}
    for block in blocks:
        exec(compile(block, str(document), "exec"), namespace)
