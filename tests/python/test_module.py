import subprocess
import sys
import textwrap

import pytest

import Corvalex
from Corvalex import sum_as_string


EXPECTED_ALL = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]


def test_all_lists_the_public_names_in_order():
    assert Corvalex.__all__ == EXPECTED_ALL
    assert [name for name in vars(Corvalex) if name in EXPECTED_ALL] == EXPECTED_ALL


def test_reimport_returns_the_same_module_object():
    code = textwrap.dedent(
        """
        import sys, Corvalex
        first = Corvalex
        del sys.modules["Corvalex"]
        import Corvalex
        assert Corvalex is first, "a second import built a new module"
        print("same")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


SUBINTERPRETER_IMPORT = textwrap.dedent(
    """
    import sys
    import Corvalex
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    shared_gil = sys.argv[1] == "shared"
    if not shared_gil:
        iid = interpreters.create()
    elif sys.version_info >= (3, 13):
        iid = interpreters.create("legacy")
    else:
        iid = interpreters.create(isolated=False)
    try:
        failure = interpreters.run_string(iid, "import Corvalex")
    except Exception as error:  # up to 3.12 the error is raised
        print(type(error).__name__, error)
    else:  # 3.13 returns a description of it
        print("imported" if failure is None else f"{failure.type.__name__} {failure.msg}")
    """
)


@pytest.mark.parametrize("gil", ["own", "shared"])
def test_import_in_subinterpreter_fails_with_import_error(gil):
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_IMPORT, gil], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout, result.stdout
    if gil == "shared":  # the interpreter lets the import run: our own check refuses it
        assert "does not support sub-interpreters" in result.stdout, result.stdout


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2, 3), {}, "5"),
        ((), {"a": 2, "b": 3}, "5"),
        ((2,), {"b": 3}, "5"),
        ((4294967295, 1), {}, "0"),
        ((4294967295, 4294967295), {}, "4294967294"),
        ((0, 0), {}, "0"),
        ((True, 1), {}, "2"),
    ],
)
def test_sum_as_string_wraps_modulo_2_32(args, kwargs, expected):
    assert sum_as_string(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((-1, 0), {}, OverflowError, "argument 'a'"),
        ((0, 4294967296), {}, OverflowError, "argument 'b'"),
        ((1.5, 0), {}, TypeError, "argument 'a': "),
        ((0, "1"), {}, TypeError, "argument 'b': "),
        ((0, None), {}, TypeError, "argument 'b': "),
        ((1,), {}, TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
        ((), {}, TypeError, "missing 2 required positional arguments: 'a' and 'b'"),
        ((1, 2, 3), {}, TypeError, "takes 2 positional arguments but 3 were given"),
        ((1,), {"a": 2}, TypeError, "got multiple values for argument 'a'"),
        ((1, 2), {"c": 3}, TypeError, "got an unexpected keyword argument 'c'"),
    ],
)
def test_sum_as_string_rejects_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        sum_as_string(*args, **kwargs)
    assert message in str(raised.value)


def test_sum_as_string_signature_and_doc():
    assert sum_as_string.__text_signature__ == "(a, b)"
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    assert sum_as_string.__name__ == "sum_as_string"
