import sys

import pytest

from Corvalex import FilteredIndex, Index, Indexable


def names(objs):
    return [o.name for o in objs]


@pytest.fixture
def fruit():
    objs = [
        Indexable(name="apple", colour="red", size=1),
        Indexable(name="banana", colour="yellow", size=2),
        Indexable(name="cherry", colour="red", size=1.0),
        Indexable(name="date", colour="brown", size=True),
        Indexable(name="elder", colour="black", size=3),
    ]
    index = Index()
    index.add_object_many(objs)
    return index, objs


class TestIndexClass:
    def test_new_index_is_empty(self):
        assert Index().collect() == []
        assert Index().get_by_attribute(a=1) == []

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "Index() takes 0 positional arguments but 1 was given"),
            ((), {"a": 1}, "Index() got an unexpected keyword argument 'a'"),
        ],
    )
    def test_constructor_takes_no_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
            Index(*args, **kwargs)

    def test_surface(self):
        assert Index.__text_signature__ == "()"
        assert Index.__doc__ is None
        assert [m for m in vars(Index) if not m.startswith("__")][:2] == ["collect", "reduced"]
        signatures = {
            "collect": "($self)",
            "reduced": "($self, **kwargs)",
            "get_by_attribute": "($self, **kwargs)",
            "add_object_many": "($self, objs)",
            "add_object": "($self, py_ref)",
        }
        for name, signature in signatures.items():
            assert getattr(Index, name).__text_signature__ == signature
        with pytest.raises(TypeError):

            class Sub(Index):  # noqa: F841 - the class statement itself must fail
                pass

        with pytest.raises(AttributeError):
            Index().__dict__
        with pytest.raises(TypeError):
            import weakref

            weakref.ref(Index())

    def test_filtered_index_has_no_constructor(self):
        with pytest.raises(TypeError, match="No constructor defined for FilteredIndex"):
            FilteredIndex()
        with pytest.raises(TypeError):

            class Sub(FilteredIndex):  # noqa: F841
                pass


class TestAdding:
    def test_add_object_returns_none_and_stores_once(self):
        index = Index()
        obj = Indexable(a=1)
        assert index.add_object(obj) is None
        assert index.add_object(py_ref=obj) is None
        assert index.collect() == [obj]
        assert index.get_by_attribute(a=1) == [obj]

    def test_add_object_many_accepts_sequences(self):
        objs = [Indexable(i=i) for i in range(5)]
        index = Index()
        assert index.add_object_many([]) is None
        assert index.add_object_many(tuple(objs[:2])) is None
        assert index.add_object_many(objs=objs[2:]) is None
        assert index.collect() == objs

        class Seq:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i == 0:
                    return objs[0]
                raise IndexError

        other = Index()
        other.add_object_many(Seq())
        assert other.collect() == [objs[0]]

    @pytest.mark.parametrize(
        "objs, message",
        [
            ("abc", "argument 'objs': Can't extract `str` to `Vec`"),
            ({Indexable()}, "argument 'objs': 'set' object cannot be converted to 'Sequence'"),
            ((x for x in []), "argument 'objs': 'generator' object cannot be converted to 'Sequence'"),
            (5, "argument 'objs': 'int' object cannot be converted to 'Sequence'"),
            ([Indexable(), 5], "argument 'objs': 'int' object cannot be converted to 'Indexable'"),
        ],
    )
    def test_add_object_many_rejects_bad_input_and_adds_nothing(self, objs, message):
        index = Index()
        with pytest.raises(TypeError) as raised:
            index.add_object_many(objs)
        assert str(raised.value) == message
        assert index.collect() == []

    def test_same_object_twice_in_a_batch_adds_nothing(self):
        index = Index()
        obj, other = Indexable(a=1), Indexable(a=2)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.add_object_many([other, obj, obj])
        assert index.collect() == [] and index.get_by_attribute(a=[1, 2]) == []
        obj.a = 5  # borrows were released
        index.add_object_many([obj, other])
        assert index.collect() == [obj, other]

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda i: i.add_object(object()), "argument 'py_ref': 'object' object cannot be converted to 'Indexable'"),
            (lambda i: i.add_object(), "Index.add_object() missing 1 required positional argument: 'py_ref'"),
            (lambda i: i.add_object(Indexable(), Indexable()), "Index.add_object() takes 1 positional argument but 2 were given"),
            (lambda i: i.add_object(obj=Indexable()), "Index.add_object() got an unexpected keyword argument 'obj'"),
            (lambda i: i.add_object_many(), "Index.add_object_many() missing 1 required positional argument: 'objs'"),
            (lambda i: i.add_object_many([], objs=[]), "Index.add_object_many() got multiple values for argument 'objs'"),
            (lambda i: i.get_by_attribute(1), "Index.get_by_attribute() takes 0 positional arguments but 1 was given"),
            (lambda i: i.collect(1), "collect() takes no arguments (1 given)"),
            (lambda i: i.reduced(1), "Index.reduced() takes 0 positional arguments but 1 was given"),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as raised:
            call(Index())
        assert str(raised.value).endswith(message)

    def test_private_names_are_not_indexed_but_the_empty_name_is(self):
        obj = Indexable(_hidden=1, **{"": "empty"})
        bare = Indexable()
        index = Index()
        index.add_object_many([obj, bare])
        assert index.collect() == [obj, bare]
        assert index.get_by_attribute(_hidden=1) == []
        assert index.get_by_attribute(**{"": "empty"}) == [obj]

    def test_objects_are_listed_in_id_order_not_insertion_order(self):
        first, second, third = Indexable(k=1), Indexable(k=1), Indexable(k=1)
        index = Index()
        index.add_object(third)
        index.add_object_many([second, first])
        assert index.collect() == [first, second, third]
        assert index.get_by_attribute(k=1) == [first, second, third]

    def test_object_in_two_indexes(self):
        obj = Indexable(a=1)
        one, two = Index(), Index()
        one.add_object(obj)
        two.add_object_many([obj])
        assert one.get_by_attribute(a=1) == two.get_by_attribute(a=1) == [obj]


class TestKeywordLookup:
    def test_no_keywords_unknown_names_and_empty_iterables_match_nothing(self, fruit):
        index, _ = fruit
        assert index.get_by_attribute() == []
        assert index.get_by_attribute(weight=1) == []
        assert index.get_by_attribute(size=[]) == []
        assert index.get_by_attribute(size=()) == []
        assert index.get_by_attribute(colour="red", weight=1) == []

    def test_values_match_by_hash(self, fruit):
        index, _ = fruit
        assert names(index.get_by_attribute(size=1)) == ["apple", "cherry", "date"]
        assert names(index.get_by_attribute(size=1.0)) == ["apple", "cherry", "date"]
        assert names(index.get_by_attribute(size=[2, 3])) == ["banana", "elder"]
        assert names(index.get_by_attribute(size=1, colour="red")) == ["apple", "cherry"]
        assert names(index.get_by_attribute(colour={"black", "brown"})) == ["date", "elder"]
        assert names(index.get_by_attribute(colour={"yellow": 0})) == ["banana"]
        assert names(index.get_by_attribute(size=(v for v in [3]))) == ["elder"]

    def test_strings_are_whole_values_and_bytes_are_integers(self):
        a, b, c = Indexable(v="ab"), Indexable(v="a"), Indexable(v=97)
        index = Index()
        index.add_object_many([a, b, c])
        assert index.get_by_attribute(v="ab") == [a]
        assert index.get_by_attribute(v=b"ab") == [c]

    def test_non_iterables_and_unhashables(self):
        none, five, lst, empty = Indexable(v=None), Indexable(v=5), Indexable(v=[1]), Indexable(v="")
        index = Index()
        index.add_object_many([none, five, lst, empty])
        assert index.get_by_attribute(v=None) == [none]
        assert index.get_by_attribute(v=5) == [five]
        # Unhashable values, "" and 0 all hash to 0: one value.
        assert index.get_by_attribute(v=[0]) == [lst, empty]
        assert index.get_by_attribute(v=-1) == index.get_by_attribute(v=-2) == []

    def test_results_have_no_duplicates(self, fruit):
        index, objs = fruit
        assert index.get_by_attribute(size=[1, 1.0, True]) == [objs[0], objs[2], objs[3]]

    def test_failing_iterator_propagates_and_changes_nothing(self, fruit):
        index, _ = fruit

        def broken():
            yield 1
            raise ValueError("boom")

        with pytest.raises(ValueError, match="boom"):
            index.get_by_attribute(size=broken())
        with pytest.raises(OverflowError):
            index.get_by_attribute(size=[1, 2**70])
        assert names(index.get_by_attribute(size=1)) == ["apple", "cherry", "date"]

    def test_lookup_during_iteration_of_its_own_value(self, fruit):
        index, objs = fruit

        def nested():
            yield 2
            assert names(index.get_by_attribute(size=3)) == ["elder"]  # shared + shared: fine
            with pytest.raises(RuntimeError, match="Already borrowed"):
                index.add_object(Indexable())
            yield 3

        assert names(index.get_by_attribute(size=nested())) == ["banana", "elder"]

    def test_iterating_objs_cannot_reenter_the_index(self):
        index = Index()
        obj = Indexable(a=1)

        class Sneaky:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i == 0:
                    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                        index.get_by_attribute(a=1)
                    return obj
                raise IndexError

        index.add_object_many(Sneaky())
        assert index.get_by_attribute(a=1) == [obj]


class TestIndexableValues:
    def test_lookup_by_indexable_value(self):
        owner = Indexable(name="bob")
        pets = [Indexable(owner=owner), Indexable(owner=Indexable(name="x")), Indexable(owner=owner)]
        index = Index()
        index.add_object_many(pets)
        assert index.get_by_attribute(owner=owner) == [pets[0], pets[2]]

    def test_value_in_the_same_batch(self):
        owner = Indexable(name="bob")
        pet = Indexable(owner=owner)
        index = Index()
        index.add_object_many([owner, pet])
        assert index.get_by_attribute(owner=owner) == [pet]
        assert index.get_by_attribute(name="bob") == [owner]

    def test_self_reference_and_cycles_are_bounded(self):
        me = Indexable(name="me")
        me.me = me
        a, b = Indexable(name="a"), Indexable(name="b")
        a.other, b.other = b, a
        index = Index()
        index.add_object(me)
        index.add_object_many([a, b])
        index.add_object(a)
        assert index.get_by_attribute(me=me) == [me]
        assert index.get_by_attribute(other=[a, b]) == [a, b]

    def test_long_chains_do_not_exhaust_the_stack(self):
        nodes = [Indexable(i=0)]
        for i in range(1, 3000):
            nodes.append(Indexable(i=i, next=nodes[-1]))
        index = Index()
        index.add_object_many(nodes)
        index.add_object(nodes[-1])
        assert index.get_by_attribute(next=nodes[10]) == [nodes[11]]


class TestViews:
    def test_reduced_view_lists_matching_objects(self, fruit):
        index, objs = fruit
        view = index.reduced(colour="red")
        assert isinstance(view, FilteredIndex)
        assert names(view.collect()) == ["apple", "cherry"]
        assert index.reduced().collect() == []
        later = Indexable(name="fig", colour="red")
        index.add_object(later)
        assert names(view.collect()) == ["apple", "cherry"]
        assert names(index.reduced(colour="red").collect()) == ["apple", "cherry", "fig"]

    def test_view_outlives_its_index(self, fruit):
        index, objs = fruit
        view = index.reduced(size=1)
        del index
        assert view.collect() == [objs[0], objs[2], objs[3]]


def test_refcounts_return_to_start_after_indexes_and_views_go():
    values = ["shared", 12345678, 3.25, (1, 2)]
    objs = [Indexable(v=values[i % 4], i=i) for i in range(200)]
    before_objs = [sys.getrefcount(o) for o in objs]
    before_values = [sys.getrefcount(v) for v in values]
    for _ in range(20):
        index = Index()
        index.add_object_many(objs)
        index.add_object(objs[0])
        view = index.reduced(v="shared")
        assert len(view.collect()) == 50
        assert len(index.get_by_attribute(v=values)) == 200
        del index, view
    assert [sys.getrefcount(o) for o in objs] == before_objs
    assert [sys.getrefcount(v) for v in values] == before_values


def test_errors_raised_while_iterating_objs_keep_their_type():
    from Corvalex import Index

    class Raising:
        def __init__(self, error):
            self.error = error

        def __len__(self):
            return 1

        def __getitem__(self, position):
            raise IndexError

        def __iter__(self):
            raise self.error

    index = Index()
    with pytest.raises(UnicodeEncodeError):
        index.add_object_many(Raising(UnicodeEncodeError("utf-8", "x", 0, 1, "bad")))
    with pytest.raises(ValueError, match="^argument 'objs': broken$"):
        index.add_object_many(Raising(ValueError("broken")))
    assert index.collect() == []
