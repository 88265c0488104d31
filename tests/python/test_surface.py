"""What the module shows Python: its names, classes, signatures, text forms,
the attribute protocol of `Indexable`, and one table of every argument
error with the interpreter's own messages."""

import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import Corvalex
from Corvalex import FilteredIndex, Index, Indexable, sum_as_string
from Corvalex import PyQueryExpr as Q

METHODS = {
    Index: ["collect ($self)", "reduced ($self, **kwargs)", "reduce ($self, **kwargs)",
            "get_by_attribute ($self, **kwargs)", "add_object_many ($self, objs)",
            "add_object ($self, py_ref)", "reduced_query ($self, query)", "union_with ($self, other)"],
    FilteredIndex: ["reduced ($self, **kwargs)", "reduced_query ($self, query)", "collect ($self)",
                    "rebase ($self)"],
    Q: ["eq (attr, value)", "ne (attr, value)", "gt (attr, value)", "ge (attr, value)",
        "le (attr, value)", "bt (attr, lower, upper)", "lt (attr, value)", "in_ (attr, values)",
        "and_ (*exprs)", "or_ (*exprs)", "not_ (exprs)"],
    Indexable: ["__dir__ ($self)"],
}


@pytest.mark.parametrize("cls", METHODS, ids=lambda cls: cls.__name__)
def test_classes_methods_and_signatures(cls):
    listed = [m for m in vars(cls) if not m.startswith("__") or m == "__dir__"]
    assert [f"{m} {getattr(cls, m).__text_signature__}" for m in listed] == METHODS[cls]
    assert cls.__doc__ is None and cls.__module__ == "Corvalex"
    assert all(getattr(cls, m).__doc__ is None for m in listed)
    if cls is not Indexable:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        cls.__new__(cls).__dict__ if cls in (Index, Indexable) else Q.eq("a", 1).__dict__
    with pytest.raises(TypeError):
        weakref.ref(Index())


def test_module_names_and_import():
    names = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
    assert Corvalex.__all__ == names
    assert [name for name in vars(Corvalex) if name in names] == names
    assert Index.__text_signature__ == "()" and Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert sum_as_string.__text_signature__ == "(a, b)" and sum_as_string.__name__ == "sum_as_string"
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    code = """
        import sys, Corvalex
        first = Corvalex
        del sys.modules["Corvalex"]
        import Corvalex
        print(Corvalex is first)
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert result.stdout.split() == ["True"], result.stderr


@pytest.mark.parametrize("gil", ["own", "shared"])
def test_import_in_a_subinterpreter_fails_with_import_error(gil):
    code = """
        import sys
        import Corvalex
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        if sys.argv[1] == "own":
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
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), gil], capture_output=True, text=True)
    assert "ImportError" in result.stdout, result.stdout + result.stderr
    if gil == "shared":  # the interpreter lets the import run: the module's own check refuses it
        assert "does not support sub-interpreters" in result.stdout


@pytest.mark.parametrize(
    "args, expected", [((2, 3), "5"), ((4294967295, 1), "0"), ((4294967295, 4294967295), "4294967294"),
                       ((True, 1), "2")],
)
def test_sum_as_string_wraps_modulo_2_32(args, expected):
    assert sum_as_string(*args) == sum_as_string(a=args[0], b=args[1]) == expected


def failing():
    yield 1
    raise ValueError("boom")


class Raising:
    """A sequence whose iteration raises: the error keeps its type."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, position):
        raise IndexError

    def __iter__(self):
        raise self.error


# (call, exception, end of its message); `i` is an index holding one object, `v` a view of it.
BAD_CALLS = [
    (lambda i, v: Index(1), TypeError, "Index() takes 0 positional arguments but 1 was given"),
    (lambda i, v: Index(a=1), TypeError, "Index() got an unexpected keyword argument 'a'"),
    (lambda i, v: FilteredIndex(), TypeError, "No constructor defined for FilteredIndex"),
    (lambda i, v: Q(), TypeError, "No constructor defined for PyQueryExpr"),
    (lambda i, v: i.add_object(object()), TypeError,
     "argument 'py_ref': 'object' object cannot be converted to 'Indexable'"),
    (lambda i, v: i.add_object(), TypeError, "Index.add_object() missing 1 required positional argument: 'py_ref'"),
    (lambda i, v: i.add_object_many(), TypeError,
     "Index.add_object_many() missing 1 required positional argument: 'objs'"),
    (lambda i, v: i.add_object_many([], objs=[]), TypeError,
     "Index.add_object_many() got multiple values for argument 'objs'"),
    (lambda i, v: i.add_object_many("abc"), TypeError, "argument 'objs': Can't extract `str` to `Vec`"),
    (lambda i, v: i.add_object_many({Indexable()}), TypeError,
     "argument 'objs': 'set' object cannot be converted to 'Sequence'"),
    (lambda i, v: i.add_object_many(5), TypeError, "argument 'objs': 'int' object cannot be converted to 'Sequence'"),
    (lambda i, v: i.add_object_many([Indexable(a=9), 5]), TypeError,
     "argument 'objs': 'int' object cannot be converted to 'Indexable'"),
    (lambda i, v: i.get_by_attribute(1), TypeError, "Index.get_by_attribute() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.collect(1), TypeError, "collect() takes no arguments (1 given)"),
    (lambda i, v: i.reduced(1), TypeError, "Index.reduced() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.reduce(1), TypeError, "Index.reduce() takes 0 positional arguments but 1 was given"),
    (lambda i, v: i.reduced_query(), TypeError, "Index.reduced_query() missing 1 required positional argument: 'query'"),
    (lambda i, v: i.reduced_query(None), TypeError,
     "argument 'query': 'NoneType' object cannot be converted to 'PyQueryExpr'"),
    (lambda i, v: i.union_with(5), TypeError, "argument 'other': 'int' object cannot be converted to 'Index'"),
    (lambda i, v: i.union_with(v), TypeError, "argument 'other': 'FilteredIndex' object cannot be converted to 'Index'"),
    (lambda i, v: i.union_with(), TypeError, "Index.union_with() missing 1 required positional argument: 'other'"),
    (lambda i, v: v.reduced(1), TypeError, "FilteredIndex.reduced() takes 0 positional arguments but 1 was given"),
    (lambda i, v: v.reduced_query(), TypeError,
     "FilteredIndex.reduced_query() missing 1 required positional argument: 'query'"),
    (lambda i, v: v.reduced_query("a"), TypeError, "argument 'query': 'str' object cannot be converted to 'PyQueryExpr'"),
    (lambda i, v: v.rebase(1), TypeError, "rebase() takes no arguments (1 given)"),
    (lambda i, v: Q.eq(1, 2), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda i, v: Q.bt(b"x", 1, 2), TypeError, "argument 'attr': 'bytes' object cannot be converted to 'PyString'"),
    (lambda i, v: Q.eq("\ud800", 1), TypeError, "argument 'attr': 'utf-8' codec can't encode character '\\ud800' "
     "in position 0: surrogates not allowed"),
    (lambda i, v: Q.eq("a"), TypeError, "PyQueryExpr.eq() missing 1 required positional argument: 'value'"),
    (lambda i, v: Q.gt("a", 1, 2), TypeError, "PyQueryExpr.gt() takes 2 positional arguments but 3 were given"),
    (lambda i, v: Q.le("a", 1, attr="b"), TypeError, "PyQueryExpr.le() got multiple values for argument 'attr'"),
    (lambda i, v: Q.lt("a", val=1), TypeError, "PyQueryExpr.lt() got an unexpected keyword argument 'val'"),
    (lambda i, v: Q.in_("name", "abc"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda i, v: Q.in_("n", {1}), TypeError, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
    (lambda i, v: Q.and_(Q.eq("a", 1), 5), TypeError,
     "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda i, v: Q.or_(exprs=Q.eq("a", 1)), TypeError, "PyQueryExpr.or_() got an unexpected keyword argument 'exprs'"),
    (lambda i, v: Q.not_(5), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda i, v: Q.not_(Q.eq("a", 1), Q.eq("b", 2)), TypeError,
     "PyQueryExpr.not_() takes 1 positional argument but 2 were given"),
    (lambda i, v: Q.not_(), TypeError, "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"),
    (lambda i, v: Q.eq("a", 2**64), OverflowError, "values must fit in a signed 64-bit integer"),
    (lambda i, v: Q.bt("a", 1, "\udfff"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda i, v: i.get_by_attribute(a=failing()), ValueError, "boom"),
    (lambda i, v: i.reduce(a=failing()), ValueError, "boom"),
    (lambda i, v: i.add_object_many(Raising(ValueError("broken"))), ValueError, "argument 'objs': broken"),
    (lambda i, v: i.add_object_many(Raising(UnicodeEncodeError("utf-8", "x", 0, 1, "bad"))), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\x78' in position 0: bad"),
    (lambda i, v: i.get_by_attribute(a=[1, 2**70]), OverflowError, "values must fit in a signed 64-bit integer"),
    (lambda i, v: i.get_by_attribute(a=2**70), OverflowError, "values must fit in a signed 64-bit integer"),
    (lambda i, v: i.get_by_attribute(**{"\udc80": 1}), UnicodeEncodeError, "surrogates not allowed"),
    (lambda i, v: Indexable(ok=1, bad=2**63), OverflowError, "values must fit in a signed 64-bit integer"),
    (lambda i, v: Indexable(bad="\udc80"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda i, v: Indexable().missing, AttributeError, "missing"),
    (lambda i, v: getattr(Indexable(), "\udc80"), AttributeError, "Invalid attribute name"),
    (lambda i, v: setattr(Indexable(), "\udc80", 1), UnicodeEncodeError, "surrogates not allowed"),
    (lambda i, v: getattr(Indexable(), 5), TypeError, "attribute name must be string, not 'int'"),
    (lambda i, v: delattr(i.collect()[0], "a"), AttributeError, "can't delete attribute"),
    (lambda i, v: delattr(Indexable(), "never_set"), AttributeError, "can't delete attribute"),
    (lambda i, v: Indexable().__dir__(1), TypeError, "__dir__() takes no arguments (1 given)"),
    (lambda i, v: sum_as_string(-1, 0), OverflowError, "argument 'a': can't convert negative int to unsigned"),
    (lambda i, v: sum_as_string(0, 4294967296), OverflowError, "argument 'b': out of range integral type conversion attempted"),
    (lambda i, v: sum_as_string(1.5, 0), TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
    (lambda i, v: sum_as_string(1), TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
    (lambda i, v: sum_as_string(1, 2, 3), TypeError, "sum_as_string() takes 2 positional arguments but 3 were given"),
    (lambda i, v: sum_as_string(1, a=2), TypeError, "sum_as_string() got multiple values for argument 'a'"),
    (lambda i, v: sum_as_string(1, 2, c=3), TypeError, "sum_as_string() got an unexpected keyword argument 'c'"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_calls_raise_and_change_nothing(call, error, message):
    obj = Indexable(a=1)
    index = Index()
    index.add_object(obj)
    view = index.reduced(a=1)
    with pytest.raises(error) as raised:
        call(index, view)
    assert str(raised.value).endswith(message), str(raised.value)
    assert type(raised.value) is error
    assert index.collect() == [obj] and index.get_by_attribute(a=1) == [obj] and obj.a == 1


def test_indexable_attribute_protocol():
    values = [[1, 2], {"k": 1}, object(), 10**18, 1.5, None, (1, [2])]
    obj = Indexable(1, 2, **{f"v{i}": value for i, value in enumerate(values)})  # positionals are ignored
    assert all(getattr(obj, f"v{i}") is value for i, value in enumerate(values))
    assert repr(obj) == "<MyClass with 7 attributes>" and repr(Indexable("x")) == "<MyClass with 0 attributes>"
    assert getattr(obj, "missing", 42) == 42
    assert obj.__dir__()[:3] == ["v0", "v1", "v2"] and "__repr__" in obj.__dir__()
    assert dir(obj) == sorted(dir(obj))
    obj._private = 5
    obj.__class__ = "not a class"  # dunder names are plain attributes too
    assert (obj._private, obj.__class__, type(obj)) == (5, "not a class", Indexable)

    class Colour(int):
        pass

    obj.low, obj.high, obj.sub = -(2**63), 2**63 - 1, Colour(2**100)  # int subclasses are not range-checked
    assert (obj.low, obj.high, obj.sub) == (-(2**63), 2**63 - 1, 2**100)

    class Hostile:
        def __hash__(self):
            raise RuntimeError("no hash for you")

    assert isinstance(Indexable(h=Hostile()).h, Hostile)  # a raising hash is captured as 0


def test_subclasses_have_a_dict_methods_and_properties():
    class Person(Indexable):
        kind = "class attribute"

        def __init__(self, name, **kwargs):
            super().__init__(**kwargs)
            self.name = name

        def greet(self):
            return f"hello {self.name}"

        @property
        def shout(self):
            return self.name.upper()

    ada = Person("ada", age=36)
    assert (ada.greet(), ada.shout, ada.kind, ada.age, ada.__dict__) == ("hello ada", "ADA", "class attribute", 36, {})
    ada.__dict__["extra"] = 1  # found by the generic lookup
    ada.greet, ada.shout = "shadowed", "loud"  # on this object only
    assert (ada.extra, ada.greet, ada.shout, Person("bob").greet()) == (1, "shadowed", "loud", "hello bob")


def body(expr):
    """The text form without object addresses."""
    text = repr(expr)
    assert text.startswith("<QueryExpr: ") and text.endswith(">")
    return re.sub(r"0x[0-9a-f]+", "@", text[len("<QueryExpr: ") : -1])


def value_text(cast, hash_):
    # "primitave" is the module's fixed spelling in this text form.
    return f"PyValue {{ obj: Py(@), primitave: {cast}, hash: {hash_} }}"


def test_expression_text_forms():
    one = value_text("Int(1)", 1)
    assert body(Q.and_()) == "And([])" and body(Q.or_()) == "Or([])"
    e = Q.eq("a", 1)
    nested = Q.or_(Q.and_(e, e), Q.not_(Q.gt("b", 2.5)))
    assert body(nested) == f'Or([And([Eq("a", {one}), Eq("a", {one})]), Not(Gt("b", {value_text("Float(2.5)", hash(2.5))}))])'
    assert body(e.ne(attr="b", value=2)) == f'Ne("b", {value_text("Int(2)", 2)})'
    assert body(Q.in_("n", (1, 1, 2))) == f'In("n", [{one}, {one}, {value_text("Int(2)", 2)}])'
    assert body(Q.in_("n", range(2))) == body(Q.in_("n", [0, 1])) and body(Q.in_(values=[], attr="n")) == 'In("n", [])'
    assert body(Q.bt("x", "a", "z")).startswith('Bt("x", PyValue { obj: Py(@), primitave: Str("a"), hash: ')
    assert body(Q.eq('q"\n.', None)) == f'Eq("q\\"\\n.", {value_text("Unknown", hash(None) % 2**64)})'
    assert body(Q.lt("", -1)) == f'Lt("", {value_text("Int(-1)", 2**64 - 2)})'
    assert body(Q.ge("t", True)) == f'Ge("t", {value_text("Unknown", 1)})'
    floats = {1.0: "1.0", -0.0: "-0.0", 0.1: "0.1", 1e15: "1000000000000000.0", 1e16: "1e16",
              1.5e300: "1.5e300", 0.0001: "0.0001", 1e-5: "1e-5", -2.5e-7: "-2.5e-7",
              float("nan"): "NaN", float("inf"): "inf", -float("inf"): "-inf", 0.1 + 0.2: "0.30000000000000004"}
    for number, text in floats.items():  # the shortest text that reads back
        assert body(Q.le("f", number)) == f'Le("f", {value_text(f"Float({text})", hash(number) % 2**64)})'
    assert body(Q.eq("a\x01\tcafé", "")).startswith('Eq("a\\u{1}\\tcafé", ')
    owner = Indexable()
    assert body(Q.eq("o", owner)) == f'Eq("o", {value_text("Ind(Py(@))", hash(owner))})'
    assert hex(id(owner)) in repr(Q.eq("o", owner))
    assert e == e and e != Q.eq("a", 1)  # identity only

    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        Q.in_("n", Broken())


def test_expression_values_are_captured_when_built():
    class Mutable:
        def __init__(self, h):
            self.h = h

        def __hash__(self):
            return self.h

    value = Mutable(7)
    expr = Q.eq("k", value)
    value.h = 8
    assert body(expr) == f'Eq("k", {value_text("Unknown", 7)})'
    holder = Indexable(k=7)
    index = Index()
    index.add_object(holder)
    assert index.reduced_query(expr).collect() == [holder]
