"""Query expressions: building, printing, and evaluating them on indexes and views."""

import gc
import re
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

from Corvalex import FilteredIndex, Index, Indexable, PyQueryExpr as Q


def names(view):
    return [o.name for o in view.collect()]


def body(expr):
    """The text form without object addresses."""
    text = repr(expr)
    assert text.startswith("<QueryExpr: ") and text.endswith(">")
    return re.sub(r"0x[0-9a-f]+", "@", text[len("<QueryExpr: ") : -1])


def value_text(cast, hash_):
    return f"PyValue {{ obj: Py(@), primitave: {cast}, hash: {hash_} }}"


@pytest.fixture
def shop():
    bob, ann = Indexable(name="bob", age=40), Indexable(name="ann", age=25.5)
    objs = [
        Indexable(name="apple", colour="red", size=1, owner=bob),
        Indexable(name="banana", colour="yellow", size=2, owner=ann),
        Indexable(name="cherry", colour="red", size=1.0),
        Indexable(name="date", colour="brown", size=True, owner=bob),
        Indexable(name="elder", size=3, _secret=1),
        Indexable(name="fig", colour="green", size=float("nan")),
    ]
    index = Index()
    index.add_object_many(objs)
    return index, objs, bob, ann


class TestBuilding:
    def test_class_surface(self):
        with pytest.raises(TypeError, match="^No constructor defined for PyQueryExpr$"):
            Q()
        methods = ["eq", "ne", "gt", "ge", "le", "bt", "lt", "in_", "and_", "or_", "not_"]
        assert [m for m in vars(Q) if not m.startswith("__")] == methods
        signatures = {m: "(attr, value)" for m in ["eq", "ne", "gt", "ge", "le", "lt"]}
        signatures |= {"bt": "(attr, lower, upper)", "in_": "(attr, values)"}
        signatures |= {"and_": "(*exprs)", "or_": "(*exprs)", "not_": "(exprs)"}
        for name, signature in signatures.items():
            assert getattr(Q, name).__text_signature__ == signature
            assert getattr(Q, name).__doc__ is None
        with pytest.raises(TypeError):

            class Sub(Q):  # noqa: F841 - the class statement itself must fail
                pass

        e = Q.eq("a", 1)
        with pytest.raises(AttributeError):
            e.__dict__
        assert body(e.ne(attr="b", value=2)) == f'Ne("b", {value_text("Int(2)", 2)})'
        assert e == e and e != Q.eq("a", 1)  # identity only

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda: Q.eq(1, 2), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
            (lambda: Q.bt(b"x", 1, 2), TypeError, "argument 'attr': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: Q.eq("\ud800", 1), TypeError, "argument 'attr': 'utf-8' codec can't encode"),
            (lambda: Q.eq("a"), TypeError, "PyQueryExpr.eq() missing 1 required positional argument: 'value'"),
            (lambda: Q.gt("a", 1, 2), TypeError, "PyQueryExpr.gt() takes 2 positional arguments but 3 were given"),
            (lambda: Q.le("a", 1, attr="b"), TypeError, "PyQueryExpr.le() got multiple values for argument 'attr'"),
            (lambda: Q.bt("a", 1), TypeError, "PyQueryExpr.bt() missing 1 required positional argument: 'upper'"),
            (lambda: Q.lt("a", val=1), TypeError, "PyQueryExpr.lt() got an unexpected keyword argument 'val'"),
            (lambda: Q.in_("name", "abc"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
            (lambda: Q.in_("n", {1}), TypeError, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
            (lambda: Q.in_("n", {1: 2}), TypeError, "argument 'values': 'dict' object cannot be converted to 'Sequence'"),
            (lambda: Q.in_("n", (v for v in [1])), TypeError, "argument 'values': 'generator' object cannot be converted to 'Sequence'"),
            (lambda: Q.in_("n", 5), TypeError, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
            (lambda: Q.and_(Q.eq("a", 1), 5), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
            (lambda: Q.or_(exprs=Q.eq("a", 1)), TypeError, "PyQueryExpr.or_() got an unexpected keyword argument 'exprs'"),
            (lambda: Q.not_(5), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
            (lambda: Q.not_(Q.eq("a", 1), Q.eq("b", 2)), TypeError, "PyQueryExpr.not_() takes 1 positional argument but 2 were given"),
            (lambda: Q.not_(), TypeError, "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"),
            (lambda: Q.eq("a", 2**64), OverflowError, "signed 64-bit"),
            (lambda: Q.in_("a", [1, 2**64]), OverflowError, "signed 64-bit"),
            (lambda: Q.bt("a", 1, "\udfff"), UnicodeEncodeError, "surrogates not allowed"),
        ],
    )
    def test_argument_errors(self, call, error, message):
        with pytest.raises(error) as raised:
            call()
        assert message in str(raised.value)

    def test_in_reads_any_sequence_and_keeps_order_and_duplicates(self):
        assert body(Q.in_("n", (1, 1, 2))) == 'In("n", [{}, {}, {}])'.format(
            value_text("Int(1)", 1), value_text("Int(1)", 1), value_text("Int(2)", 2)
        )
        assert body(Q.in_("n", range(2))) == body(Q.in_("n", [0, 1]))
        assert body(Q.in_(values=[], attr="n")) == 'In("n", [])'

        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise ValueError("boom")

        with pytest.raises(ValueError, match="^boom$"):
            Q.in_("n", Broken())

    def test_text_forms(self):
        a1 = value_text("Int(1)", 1)
        assert body(Q.and_()) == "And([])" and body(Q.or_()) == "Or([])"
        nested = Q.not_(Q.and_(Q.eq("a", 1), Q.gt("b", 2.5)))
        assert body(nested) == f'Not(And([Eq("a", {a1}), Gt("b", {value_text("Float(2.5)", hash(2.5))})]))'
        built = Q.bt("x", "a", "z")
        assert body(built).startswith('Bt("x", PyValue { obj: Py(@), primitave: Str("a"), hash: ')
        assert body(Q.eq('q"\n.', None)) == f'Eq("q\\"\\n.", {value_text("Unknown", hash(None) % 2**64)})'
        assert body(Q.lt("", -1)) == f'Lt("", {value_text("Int(-1)", 2**64 - 2)})'
        assert body(Q.ge("t", True)) == f'Ge("t", {value_text("Unknown", 1)})'
        assert body(Q.le("f", 1e16)) == f'Le("f", {value_text("Float(1e16)", hash(1e16))})'
        owner = Indexable()
        assert body(Q.eq("o", owner)) == f'Eq("o", {value_text("Ind(Py(@))", hash(owner))})'
        assert hex(id(owner)) in repr(Q.eq("o", owner))

    def test_arguments_stay_usable_and_are_printed_per_use(self):
        e = Q.eq("a", 1)
        both = Q.and_(e, e)
        either = Q.or_(both, Q.not_(e))
        inner = body(e)
        assert body(both) == f"And([{inner}, {inner}])"
        assert body(either) == f"Or([And([{inner}, {inner}]), Not({inner})])"
        assert body(e) == inner
        del e, both
        gc.collect()
        assert body(either) == f"Or([And([{inner}, {inner}]), Not({inner})])"

    def test_values_are_captured_when_built(self):
        class Mutable:
            def __init__(self, h):
                self.h = h

            def __hash__(self):
                return self.h

        key = Mutable(7)
        expr = Q.eq("k", key)
        key.h = 8
        assert body(expr) == f'Eq("k", {value_text("Unknown", 7)})'
        holder = Indexable(k=7)
        index = Index()
        index.add_object(holder)
        assert index.reduced_query(expr).collect() == [holder]

    def test_trees_take_part_in_garbage_collection(self):
        class Node:
            pass

        node = Node()
        node.query = Q.not_(Q.in_("x", [node, 1]))
        alive = weakref.ref(node)
        del node
        gc.collect()
        assert alive() is None

    def test_dropping_trees_releases_their_values(self, refcount_stable):
        value = object()
        before = sys.getrefcount(value)
        index = Index()
        index.add_object(Indexable(x=1))

        def build_and_query():
            e = Q.and_(Q.eq("x", value), Q.in_("x", [value, 1]), Q.not_(Q.bt("x", 0, 5)))
            index.reduced_query(Q.or_(e, e)).collect()

        refcount_stable(build_and_query)
        assert sys.getrefcount(value) == before


class TestEvaluation:
    def test_returns_views(self, shop):
        index, objs, _, _ = shop
        view = index.reduced_query(Q.eq("colour", "red"))
        assert isinstance(view, FilteredIndex)
        assert names(view) == ["apple", "cherry"]
        assert index.reduced_query(query=Q.and_()).collect() == objs
        assert index.reduced_query(Q.or_()).collect() == []
        assert index.reduced_query(Q.not_(Q.and_())).collect() == []

    def test_equal_by_hash_and_bools_never_ranged(self, shop):
        index, _, _, _ = shop
        for one in (1, 1.0, True):
            assert names(index.reduced_query(Q.eq("size", one))) == ["apple", "cherry", "date"]
        assert names(index.reduced_query(Q.in_("size", [1, 1]))) == ["apple", "cherry", "date"]
        assert index.reduced_query(Q.gt("size", True)).collect() == []
        assert index.reduced_query(Q.gt("size", False)).collect() == []
        assert names(index.reduced_query(Q.ge("size", 1))) == ["apple", "banana", "cherry", "elder"]
        assert names(index.reduced_query(Q.le("size", 1.0))) == ["apple", "cherry"]

    def test_complements_include_objects_without_the_attribute(self, shop):
        index, objs, _, _ = shop
        assert names(index.reduced_query(Q.ne("colour", "red"))) == ["banana", "date", "elder", "fig"]
        assert index.reduced_query(Q.ne("weight", 1)).collect() == objs
        expr = Q.and_(Q.eq("size", 1), Q.not_(Q.eq("colour", "brown")))
        assert names(index.reduced_query(expr)) == ["apple", "cherry"]
        expr = Q.and_(Q.ge("size", 1), Q.not_(Q.in_("colour", ["red", "yellow"])))
        assert names(index.reduced_query(expr)) == ["elder"]

    def test_ranges(self, shop):
        index, _, _, _ = shop
        assert names(index.reduced_query(Q.bt("size", 1, 3))) == ["apple", "banana", "cherry", "elder"]
        assert names(index.reduced_query(Q.bt("size", 1.5, 2.0))) == ["banana"]
        assert index.reduced_query(Q.bt("size", 3, 1)).collect() == []
        assert names(index.reduced_query(Q.gt("size", 2))) == ["elder"]
        assert names(index.reduced_query(Q.lt("size", 2))) == ["apple", "cherry"]
        assert index.reduced_query(Q.gt("name", "a")).collect() == []
        assert index.reduced_query(Q.lt("name", None)).collect() == []

    def test_nan_is_in_no_range_and_zero_has_one_sign(self):
        objs = [Indexable(v=v) for v in [float("nan"), -float("nan"), -0.0, 0, 0.0, float("inf"), -float("inf"), 5]]
        index = Index()
        index.add_object_many(objs)

        def got(expr):
            return index.reduced_query(expr).collect()

        nan, neg_nan, neg_zero, zero_i, zero_f, inf, neg_inf, five = objs
        assert got(Q.ge("v", -float("inf"))) == [neg_zero, zero_i, zero_f, inf, neg_inf, five]
        assert got(Q.le("v", float("inf"))) == got(Q.ge("v", -float("inf")))
        assert got(Q.gt("v", 5)) == [inf] and got(Q.lt("v", 0)) == [neg_inf]
        assert got(Q.bt("v", -0.0, 0)) == got(Q.bt("v", 0, 0.0)) == [neg_zero, zero_i, zero_f]
        assert got(Q.gt("v", -0.0)) == got(Q.gt("v", 0)) == [inf, five]
        for bound in (float("nan"), -float("nan")):
            assert got(Q.gt("v", bound)) == got(Q.le("v", bound)) == []
            assert got(Q.bt("v", bound, 10)) == got(Q.bt("v", -10, bound)) == []
        assert got(Q.eq("v", nan.v)) == [nan]  # equality is by the object's own hash

    def test_int_and_float_bounds_of_equal_value_agree(self):
        values = [-(2**63), -(2**53) - 1, -3, -2.5, -1, 0, 1, 2**53, 2**53 + 1, 2.0**60, 2**63 - 1]
        objs = [Indexable(v=v) for v in values]
        index = Index()
        index.add_object_many(objs)
        for bound in [-3, 0, 1, 2**53, 2**60, -(2**63)]:
            for method in (Q.gt, Q.ge, Q.lt, Q.le):
                as_int = index.reduced_query(method("v", bound)).collect()
                assert as_int == index.reduced_query(method("v", float(bound))).collect()
        # Exact comparison beyond 2**53, where a float cannot tell the ints apart.
        assert [o.v for o in index.reduced_query(Q.gt("v", 2**53)).collect()] == [2**53 + 1, 2.0**60, 2**63 - 1]
        assert [o.v for o in index.reduced_query(Q.bt("v", -(2**63), -(2**53) - 1)).collect()] == [
            -(2**63),
            -(2**53) - 1,
        ]

    @pytest.mark.parametrize(
        "expr",
        [
            Q.bt("name", "a", "z"),
            Q.bt("size", 1, "z"),
            Q.bt("size", True, 3),
            Q.bt("size", 1, None),
            Q.gt("owner", Indexable()),
            Q.le("owner.age", Indexable()),
            Q.or_(Q.eq("size", 1), Q.not_(Q.lt("owner", Indexable()))),
        ],
    )
    def test_unsupported_ranges_raise_not_implemented(self, shop, expr):
        index, objs, _, _ = shop
        with pytest.raises(NotImplementedError, match="^not yet implemented$"):
            index.reduced_query(expr)
        with pytest.raises(Exception, match="^not yet implemented$"):
            index.reduced(size=1).reduced_query(expr)
        index.add_object(Indexable(name="later", size=1))  # no lock or borrow was left behind
        assert len(index.reduced_query(Q.eq("size", 1)).collect()) == 4

    def test_unsupported_ranges_on_absent_attributes_match_nothing(self, shop):
        index, _, _, _ = shop
        assert index.reduced_query(Q.bt("weight", "a", "z")).collect() == []
        assert index.reduced_query(Q.gt("weight", Indexable())).collect() == []
        assert index.reduced_query(Q.le("owner.x", Indexable())).collect() == []
        assert index.reduced_query(Q.bt("_secret", "a", "z")).collect() == []
        # And stops once its running result is empty.
        assert index.reduced_query(Q.and_(Q.eq("size", 99), Q.bt("name", "a", "z"))).collect() == []

    def test_private_unknown_and_odd_paths(self, shop):
        index, objs, _, _ = shop
        assert index.reduced_query(Q.eq("_secret", 1)).collect() == []
        assert index.reduced_query(Q.ne("_secret", 1)).collect() == objs
        assert index.reduced_query(Q.in_("nothing", [1, 2])).collect() == []
        odd = Indexable(**{"": "empty"}, name="odd")
        index.add_object(odd)
        assert index.reduced_query(Q.eq("", "empty")).collect() == [odd]
        for path in ["", ".", ".name", "name.", "owner..name", "size.x"]:
            assert index.reduced_query(Q.eq(path, "x")).collect() == []
        assert index.reduced_query(Q.ne("size.x", 1)).collect() == objs + [odd]

    def test_dotted_paths(self, shop):
        index, objs, bob, ann = shop
        apple, banana, _, date, _, _ = objs

        def got(expr):
            return index.reduced_query(expr).collect()

        assert got(Q.eq("owner.name", "bob")) == [apple, date]
        assert got(Q.ne("owner.name", "bob")) == [o for o in objs if o not in (apple, date)]
        assert got(Q.gt("owner.age", 30)) == got(Q.ge("owner.age", 40)) == [apple, date]
        assert got(Q.lt("owner.age", 30)) == got(Q.le("owner.age", 25.5)) == [banana]
        assert got(Q.bt("owner.age", 25, 26)) == [banana]
        assert got(Q.in_("owner.name", ["ann", "bob", "x"])) == [apple, banana, date]
        assert got(Q.eq("owner", bob)) == [apple, date]
        assert got(Q.eq("owner.name.x", "bob")) == got(Q.eq("owner.missing", 1)) == []

    def test_dotted_paths_see_the_stored_snapshot(self, shop):
        index, objs, bob, ann = shop
        apple, banana, _, date, _, _ = objs
        bob.name = "carol"
        assert index.reduced_query(Q.eq("owner.name", "bob")).collect() == [apple, date]
        assert index.reduced_query(Q.eq("owner.name", "carol")).collect() == []
        apple.owner = ann  # apple no longer holds bob
        assert index.reduced_query(Q.eq("owner.name", "bob")).collect() == [date]
        assert index.reduced_query(Q.eq("owner.name", "ann")).collect() == [apple, banana]

    def test_writes_between_queries(self, shop):
        index, objs, _, _ = shop
        apple, banana, cherry = objs[:3]
        expr = Q.and_(Q.gt("size", 1.5), Q.ne("colour", "yellow"))
        assert names(index.reduced_query(expr)) == ["elder"]
        apple.size = 10
        banana.colour = "blue"
        cherry.size = "big"
        assert names(index.reduced_query(expr)) == ["apple", "banana", "elder"]
        assert names(index.reduced_query(Q.eq("size", 1))) == ["date"]
        objs[4].size = 1  # the last holder of 3 leaves it
        assert index.reduced_query(Q.eq("size", 3)).collect() == []

    def test_equal_values_across_tree_splits(self):
        objs = [Indexable(v=i % 7) for i in range(300)]
        objs += [Indexable(v=5) for _ in range(400)] + [Indexable(v=5.0) for _ in range(100)]
        index = Index()
        index.add_object_many(objs)
        fives = {id(o) for o in objs if o.v == 5}
        view = index.reduced_query(Q.in_("v", [4, 5, 6]))

        def got(expr, on=index):
            return {id(o) for o in on.reduced_query(expr).collect()}

        for on in (index, view):
            assert fives <= got(Q.le("v", 5), on) and fives <= got(Q.ge("v", 5), on)
            assert not fives & got(Q.lt("v", 5), on) and not fives & got(Q.gt("v", 5.0), on)
            assert got(Q.bt("v", 5, 5.0), on) == got(Q.eq("v", 5), on) == fives
        assert len(got(Q.lt("v", 4), view)) == 0
        assert len(got(Q.ge("v", 5), view)) == len(fives) + 42


class TestViews:
    def test_universe_of_each_variant_on_a_view(self, shop):
        index, objs, bob, _ = shop
        apple, banana, cherry, date, elder, fig = objs
        view = index.reduced_query(Q.in_("name", ["apple", "banana", "elder"]))

        def got(expr):
            return view.reduced_query(expr).collect()

        # Confined to the view: complements, And, Or of confined parts, In, ranges.
        assert got(Q.in_("colour", ["red"])) == [apple]
        assert got(Q.not_(Q.eq("colour", "red"))) == [banana, elder]
        assert got(Q.ne("colour", "red")) == [banana, elder]
        assert got(Q.and_()) == [apple, banana, elder]
        assert got(Q.and_(Q.eq("colour", "red"))) == [apple]
        assert got(Q.ge("size", 1)) == [apple, banana, elder]
        assert got(Q.bt("size", 1, 1)) == [apple]
        assert got(Q.or_(Q.lt("size", 2), Q.gt("size", 2))) == [apple, elder]
        # Not confined: plain equality and dotted paths.
        assert got(Q.eq("colour", "red")) == [apple, cherry]
        assert got(Q.eq("owner.name", "bob")) == [apple, date]
        assert got(Q.in_("owner.name", ["bob"])) == [apple, date]
        assert got(Q.or_(Q.eq("size", 1))) == [apple, cherry, date]

    def test_reduced_narrows_within_the_view(self, shop):
        index, objs, _, _ = shop
        view = index.reduced(size=1)
        assert names(view.reduced(colour="red")) == ["apple", "cherry"]
        assert names(view.reduced(colour=["red", "brown"], name="date")) == ["date"]
        assert names(view.reduced(colour="yellow")) == []
        assert view.reduced().collect() == []
        assert names(view.reduced(colour="red").reduced_query(Q.ne("name", "apple"))) == ["cherry"]
        assert names(view.reduced_query(Q.lt("size", 2)).reduced(colour="red")) == ["apple", "cherry"]

    def test_views_see_later_writes_through_the_shared_tables(self, shop):
        index, objs, _, _ = shop
        apple, banana = objs[:2]
        view = index.reduced_query(Q.le("size", 2))
        banana.colour = "red"
        apple.colour = "green"
        assert names(view.reduced(colour="red")) == ["banana", "cherry"]
        assert names(view.reduced_query(Q.in_("colour", ["red"]))) == ["banana", "cherry"]
        later = Indexable(name="late", colour="red", size=1)
        index.add_object(later)
        assert names(view.reduced(colour="red")) == ["banana", "cherry"]
        assert names(view.reduced_query(Q.eq("colour", "red"))) == ["banana", "cherry", "late"]

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda v: v.reduced(1), "FilteredIndex.reduced() takes 0 positional arguments but 1 was given"),
            (lambda v: v.reduced_query(), "FilteredIndex.reduced_query() missing 1 required positional argument: 'query'"),
            (lambda v: v.reduced_query(Q.and_(), Q.and_()), "FilteredIndex.reduced_query() takes 1 positional argument but 2 were given"),
            (lambda v: v.reduced_query(expr=Q.and_()), "FilteredIndex.reduced_query() got an unexpected keyword argument 'expr'"),
            (lambda v: v.reduced_query("a"), "argument 'query': 'str' object cannot be converted to 'PyQueryExpr'"),
            (lambda v: v.reduced(a={}.keys, b=1), None),
        ],
    )
    def test_view_argument_errors(self, shop, call, message):
        view = shop[0].reduced(size=1)
        if message is None:  # a value that is not iterable is one value
            assert call(view).collect() == []
            return
        with pytest.raises(TypeError) as raised:
            call(view)
        assert str(raised.value) == message

    def test_method_tables(self):
        assert [m for m in vars(FilteredIndex) if not m.startswith("__")][:3] == [
            "reduced",
            "reduced_query",
            "collect",
        ]
        assert FilteredIndex.reduced.__text_signature__ == "($self, **kwargs)"
        assert FilteredIndex.reduced_query.__text_signature__ == "($self, query)"
        assert Index.reduced_query.__text_signature__ == "($self, query)"
        listed = [m for m in vars(Index) if not m.startswith("__")]
        assert listed.index("add_object") < listed.index("reduced_query")

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda i: i.reduced_query(), "Index.reduced_query() missing 1 required positional argument: 'query'"),
            (lambda i: i.reduced_query(Q.and_(), 1), "Index.reduced_query() takes 1 positional argument but 2 were given"),
            (lambda i: i.reduced_query(q=Q.and_()), "Index.reduced_query() got an unexpected keyword argument 'q'"),
            (lambda i: i.reduced_query(None), "argument 'query': 'NoneType' object cannot be converted to 'PyQueryExpr'"),
        ],
    )
    def test_index_argument_errors(self, call, message):
        with pytest.raises(TypeError) as raised:
            call(Index())
        assert str(raised.value) == message


DEEP_TREES = textwrap.dedent(
    """
    import threading
    from Corvalex import Index, Indexable, PyQueryExpr as Q

    DEPTH = 100_000
    objs = [Indexable(a=i % 3) for i in range(30)]
    index = Index()
    index.add_object_many(objs)

    def run():
        negated = Q.eq("a", 1)
        for _ in range(DEPTH):
            negated = Q.not_(negated)
        nested = Q.gt("a", 0)
        for i in range(DEPTH):
            nested = Q.and_(nested, Q.ge("a", 0)) if i % 2 else Q.or_(Q.lt("a", -5), nested)
        twice = Q.and_(negated, negated, nested)
        text = repr(twice)
        assert text.startswith("<QueryExpr: And([Not(Not(") and text.count("Not(") == 2 * DEPTH
        ones = [o for o in objs if o.a == 1]
        assert index.reduced_query(negated).collect() == ones
        assert index.reduced_query(Q.not_(negated)).collect() == [o for o in objs if o.a != 1]
        assert index.reduced_query(nested).collect() == [o for o in objs if o.a > 0]
        view = index.reduced_query(nested)
        assert view.reduced_query(twice).collect() == ones
        del negated, nested, twice
        results.append("ok")

    results = []
    # A thread with a small stack: any recursion per tree level would overflow it.
    threading.stack_size(512 * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(results[0] if results else "failed")
    """
)


def test_very_deep_trees_use_no_stack_per_level():
    result = subprocess.run([sys.executable, "-c", DEEP_TREES], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "ok"


class TestReentrancy:
    def test_query_while_the_index_is_held_exclusively_fails_at_once(self):
        index = Index()
        started, release = threading.Event(), threading.Event()

        class SlowSequence:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i == 0:
                    started.set()
                    release.wait(10)
                    return Indexable(a=1)
                raise IndexError

        thread = threading.Thread(target=index.add_object_many, args=(SlowSequence(),))
        thread.start()
        assert started.wait(10)
        try:
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                index.reduced_query(Q.eq("a", 1))
        finally:
            release.set()
            thread.join(10)
        assert len(index.reduced_query(Q.eq("a", 1)).collect()) == 1

    def test_python_code_run_by_a_query_may_use_the_index(self):
        index = Index()
        index.add_object(Indexable(a=1))
        view = index.reduced_query(Q.and_())
        seen = []

        class Reentrant:
            def __hash__(self):
                # Runs while view.reduced computes its hashes, before any lock.
                seen.append(len(view.reduced_query(Q.eq("a", 1)).collect()))
                index.add_object(Indexable(a=1))
                return 1

            def __del__(self):
                seen.append(len(index.reduced_query(Q.eq("a", 1)).collect()))
                try:
                    index.add_object(Indexable(a=1))
                    seen.append("added")
                except RuntimeError as error:
                    seen.append(str(error))

        assert len(view.reduced(a=Reentrant()).collect()) == 1
        assert seen == [1, 2, "added"]
        seen.clear()
        # The query's value is released when its expression goes, after the call.
        assert len(index.reduced_query(Q.eq("a", Reentrant())).collect()) == 4
        assert seen == [3, 4, "added"]

    def test_finalisers_run_by_other_threads_during_queries_never_hang(self):
        objs = [Indexable(a=i % 10, b=i) for i in range(50_000)]
        index = Index()
        index.add_object_many(objs)
        outcomes = []
        stop = threading.Event()

        class Finaliser:
            def __init__(self):
                self.cycle = self  # freed by the collector, on whichever thread runs it

            def __del__(self):
                try:
                    outcomes.append(len(index.reduced_query(Q.eq("a", 3)).collect()))
                    index.add_object(Indexable(a=99))
                    outcomes.append("added")
                except RuntimeError as error:
                    outcomes.append(str(error))

        def querying():
            expr = Q.and_(Q.ge("b", 100), Q.not_(Q.in_("a", [1, 2])), Q.or_(Q.lt("b", 40_000), Q.eq("a", 7)))
            while not stop.is_set():
                try:
                    assert len(index.reduced_query(expr).collect()) > 0
                except RuntimeError as error:  # a finaliser is adding on the other thread
                    assert str(error) == "Already mutably borrowed"
                Finaliser()

        def collecting():
            while not stop.is_set():
                Finaliser()
                gc.collect()

        threads = [threading.Thread(target=querying), threading.Thread(target=collecting)]
        for thread in threads:
            thread.start()
        threading.Event().wait(2)
        stop.set()
        for thread in threads:
            thread.join(30)
        assert not any(thread.is_alive() for thread in threads), "a thread hung"
        gc.collect()
        assert outcomes
        assert set(outcomes) <= {5000, "added", "Already borrowed", "Already mutably borrowed"}
