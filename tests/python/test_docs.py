"""The example and the README's Python snippets run as written."""

import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_the_example_runs():
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "basic.py")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert "after union, green: ['lime']" in result.stdout


def test_readme_snippets_run_in_order():
    readme = (ROOT / "README.md").read_text()
    snippets = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert snippets
    namespace = {}
    for snippet in snippets:
        exec(compile(snippet, "README.md", "exec"), namespace)
