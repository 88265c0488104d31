"""The surface model of tests/python/test_model.py under atheris: each input
is read as one run of the state machine's rules, checked against the model
after every step.

Run by tests/fuzz/run.sh: python tests/fuzz/fuzz_surface.py [libFuzzer flags]."""

import pathlib
import sys

import atheris
from hypothesis import HealthCheck, settings
from hypothesis.stateful import get_state_machine_test

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))

from test_model import Surface  # noqa: E402

RUN = get_state_machine_test(
    Surface,
    settings=settings(database=None, deadline=None, stateful_step_count=60,
                      suppress_health_check=list(HealthCheck)),
)

if __name__ == "__main__":
    # The extension is not instrumented: the model's own branches (which
    # rules ran, on which kinds of values) guide the fuzzer.
    atheris.instrument_all()
    atheris.Setup(sys.argv, RUN.hypothesis.fuzz_one_input)
    atheris.Fuzz()
