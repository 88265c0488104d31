"""Derived indexes: reducing an index in place, rebasing a view into a new
index, and folding one index's maps into another."""

import contextlib
import gc
import sys
import threading

import pytest

from Corvalex import FilteredIndex, Index, Indexable


def names(objs):
    return [o.name for o in objs]


@contextlib.contextmanager
def written_elsewhere(obj):
    """Keeps `obj` inside an attribute write on another thread for the duration."""
    started, release = threading.Event(), threading.Event()

    class SlowToHash:
        def __hash__(self):
            started.set()
            release.wait(10)
            return 1

    thread = threading.Thread(target=setattr, args=(obj, "held", SlowToHash()))
    thread.start()
    assert started.wait(10)
    try:
        yield
    finally:
        release.set()
        thread.join(10)
        assert not thread.is_alive()


@pytest.fixture
def shop():
    objs = [
        Indexable(name="a", colour="red", size=1),
        Indexable(name="b", colour="blue", size=1),
        Indexable(name="c", colour="red", size=2),
        Indexable(name="d", colour="green", size=2),
    ]
    index = Index()
    index.add_object_many(objs)
    return index, objs


class TestSurface:
    def test_signatures_and_order(self):
        methods = [m for m in vars(Index) if not m.startswith("__")]
        assert methods.index("reduced") < methods.index("reduce") < methods.index("get_by_attribute")
        assert methods[-1] == "union_with"
        view_methods = [m for m in vars(FilteredIndex) if not m.startswith("__")]
        assert view_methods[-2:] == ["collect", "rebase"]
        assert Index.reduce.__text_signature__ == "($self, **kwargs)"
        assert Index.union_with.__text_signature__ == "($self, other)"
        assert FilteredIndex.rebase.__text_signature__ == "($self)"

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda i: i.reduce(1), TypeError, "Index.reduce() takes 0 positional arguments but 1 was given"),
            (lambda i: i.union_with(5), TypeError, "argument 'other': 'int' object cannot be converted to 'Index'"),
            (lambda i: i.union_with(i.reduced()), TypeError,
             "argument 'other': 'FilteredIndex' object cannot be converted to 'Index'"),
            (lambda i: i.union_with(), TypeError, "Index.union_with() missing 1 required positional argument: 'other'"),
            (lambda i: i.union_with(Index(), Index()), TypeError,
             "Index.union_with() takes 1 positional argument but 2 were given"),
            (lambda i: i.union_with(index=Index()), TypeError,
             "Index.union_with() got an unexpected keyword argument 'index'"),
            (lambda i: i.reduced().rebase(1), TypeError, "rebase() takes no arguments (1 given)"),
            (lambda i: i.union_with(i), RuntimeError, "Already mutably borrowed"),
        ],
    )
    def test_bad_calls_change_nothing(self, shop, call, error, message):
        index, objs = shop
        with pytest.raises(error) as raised:
            call(index)
        assert str(raised.value).endswith(message)
        assert index.get_by_attribute(colour="red") == [objs[0], objs[2]]

    def test_results(self, shop):
        index, _ = shop
        assert index.union_with(other=Index()) is None
        assert index.reduce(colour="red") is None
        assert type(index.reduced(size=1).rebase()) is Index


class TestReduce:
    def test_narrows_lookups_but_not_the_stored_objects(self, shop):
        index, (a, b, c, d) = shop
        earlier = index.reduced(size=1)
        index.reduce(colour="red")
        assert index.get_by_attribute(size=1) == [a]
        assert index.get_by_attribute(colour="blue") == []
        assert index.collect() == [a, b, c, d]
        assert earlier.collect() == [a, b]  # a view keeps its own ids
        assert index.reduced(size=[1, 2]).collect() == [a, c]
        index.reduce(size=2)  # narrows further
        assert index.get_by_attribute(colour="red") == [c]

    def test_a_later_write_brings_a_dropped_object_back(self, shop):
        index, (a, b, c, d) = shop
        index.reduce(colour="red")
        b.size = 2
        assert index.get_by_attribute(size=2) == [b, c]
        assert index.get_by_attribute(colour="blue") == []  # only the written name returns
        d.colour = "red"
        assert index.get_by_attribute(colour="red") == [a, c, d]

    @pytest.mark.parametrize("query", [{}, {"missing": 1}, {"colour": []}])
    def test_a_query_matching_nothing_empties_every_set(self, shop, query):
        index, objs = shop
        index.reduce(**query)
        assert index.get_by_attribute(colour=["red", "blue", "green"]) == []
        assert index.get_by_attribute(size=[1, 2]) == []
        assert index.collect() == objs
        objs[0].colour = "red"
        assert index.get_by_attribute(colour="red") == [objs[0]]

    def test_a_string_is_one_value(self):
        objs = [Indexable(tag="ab"), Indexable(tag="a")]
        index = Index()
        index.add_object_many(objs)
        index.reduce(tag="ab")
        assert index.get_by_attribute(tag=["a", "ab"]) == [objs[0]]

    def test_kept_objects_enter_their_current_attributes_again(self, shop):
        index, (a, b, c, d) = shop
        index.reduce(size=2)  # a loses its colour and size entries
        a.tag = "x"  # enters `tag` only
        assert index.get_by_attribute(colour="red") == [c]
        index.reduce(tag="x")
        assert index.get_by_attribute(colour="red") == [a]
        assert index.get_by_attribute(size=1) == [a]
        assert index.get_by_attribute(_private=1) == []

    def test_indexable_values_and_cycles(self):
        owner = Indexable(name="owner")
        pet = Indexable(name="pet", owner=owner)
        stray = Indexable(name="stray", owner=owner)
        index = Index()
        index.add_object_many([pet, stray])
        pet.me = pet
        owner.best = pet
        index.reduce(me=pet)
        assert index.get_by_attribute(owner=owner) == [pet]
        assert index.get_by_attribute(me=pet) == [pet]

    def test_fails_whole_while_a_kept_object_is_written_elsewhere(self, shop):
        index, (a, b, c, d) = shop
        with written_elsewhere(c):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                index.reduce(colour="red")
            assert index.get_by_attribute(colour="blue") == [b]
            assert index.get_by_attribute(size=2) == [c, d]
        index.reduce(colour="red")  # the table's lock is still healthy
        assert index.get_by_attribute(size=2) == [c]

    def test_fails_while_a_kept_objects_value_is_written_elsewhere(self, shop):
        index, (a, b, c, d) = shop
        owner = Indexable(name="owner")
        a.owner = owner
        with written_elsewhere(owner):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                index.reduce(colour="red")
        assert index.get_by_attribute(colour="blue") == [b]

    @pytest.mark.skipif(not hasattr(FilteredIndex, "reduced"), reason="views do not narrow yet")
    def test_views_made_earlier_keep_their_ids_over_the_narrowed_tables(self, shop):
        index, (a, b, c, d) = shop
        earlier = index.reduced(size=[1, 2])
        index.reduce(colour="red")
        assert earlier.collect() == [a, b, c, d]
        assert earlier.reduced(size=[1, 2]).collect() == [a, c]

    @pytest.mark.skipif(not hasattr(Index, "reduced_query"), reason="no query expressions yet")
    def test_ranges_and_the_universe_still_see_dropped_objects(self, shop):
        from Corvalex import PyQueryExpr as E

        index, (a, b, c, d) = shop
        index.reduce(colour="red")
        assert index.reduced_query(E.ge("size", 2)).collect() == [c, d]
        assert index.reduced_query(E.not_(E.eq("colour", "red"))).collect() == [b, d]

    def test_a_failing_query_changes_nothing(self, shop):
        index, (a, b, c, d) = shop

        def failing_values():
            yield "red"
            raise ValueError("no")

        with pytest.raises(ValueError, match="no"):
            index.reduce(colour=failing_values())
        assert index.get_by_attribute(colour="blue") == [b]


class TestRebase:
    def test_the_rebased_index_holds_the_views_objects_as_they_are_now(self, shop):
        index, (a, b, c, d) = shop
        view = index.reduced(size=1)
        b.colour = "red"
        rebased = view.rebase()
        assert rebased.collect() == view.collect() == [a, b]
        assert rebased.get_by_attribute(colour="red") == [a, b]
        assert rebased.get_by_attribute(size=2) == []

    def test_an_empty_view(self, shop):
        index, _ = shop
        rebased = index.reduced().rebase()
        assert rebased.collect() == []
        assert rebased.get_by_attribute(colour="red") == []
        obj = Indexable(colour="red")
        rebased.add_object(obj)
        assert rebased.collect() == [obj]

    def test_a_view_whose_highest_id_is_large(self):
        low = Indexable(k=1)
        for _ in range(300_000):  # ids are never reused: this moves the counter on
            Indexable()
        high = Indexable(k=1)
        index = Index()
        index.add_object_many([high, low])
        rebased = index.reduced(k=1).rebase()
        assert rebased.collect() == [low, high]
        assert rebased.get_by_attribute(k=1) == [low, high]

    def test_private_names_are_found_after_rebase(self):
        obj = Indexable(_secret=5, name="x")
        owner = Indexable(name="owner")
        obj._owner = owner
        index = Index()
        index.add_object(obj)
        assert index.get_by_attribute(_secret=5) == []
        rebased = index.reduced(name="x").rebase()
        assert rebased.get_by_attribute(_secret=5) == [obj]
        assert rebased.get_by_attribute(_owner=owner) == [obj]
        obj._secret = 6  # later writes of `_` names do not reach any index
        assert rebased.get_by_attribute(_secret=5) == [obj]

    def test_writes_reach_both_the_source_and_the_rebased_index(self, shop):
        index, (a, b, c, d) = shop
        rebased = index.reduced(colour="red").rebase()
        a.size = 3
        assert index.get_by_attribute(size=3) == rebased.get_by_attribute(size=3) == [a]
        assert rebased.get_by_attribute(size=1) == []
        b.size = 3  # not in the rebased index
        assert index.get_by_attribute(size=3) == [a, b]
        assert rebased.get_by_attribute(size=3) == [a]

    def test_the_rebased_index_is_independent(self, shop):
        index, (a, b, c, d) = shop
        rebased = index.reduced(colour="red").rebase()
        extra = Indexable(colour="red")
        rebased.add_object(extra)
        rebased.reduce(size=2)
        assert index.get_by_attribute(colour="red") == [a, c]
        assert rebased.get_by_attribute(colour="red") == [c]
        assert rebased.collect() == [a, c, extra]
        del index
        gc.collect()
        a.size = 5
        assert rebased.get_by_attribute(size=5) == [a]

    def test_after_reduce_the_rebased_index_has_every_current_attribute(self, shop):
        index, (a, b, c, d) = shop
        view = index.reduced(size=1)
        index.reduce(size=2)
        rebased = view.rebase()
        assert rebased.get_by_attribute(colour=["red", "blue"]) == [a, b]

    def test_views_of_the_source_can_outlive_it(self, shop):
        index, (a, b, c, d) = shop
        view = index.reduced(colour="red")
        del index
        gc.collect()
        rebased = view.rebase()
        c.colour = "black"
        assert rebased.get_by_attribute(colour="black") == [c]
        assert rebased.reduced(colour="red").rebase().collect() == [a]

    def test_objects_that_are_values_of_each_other(self):
        owner = Indexable(name="owner")
        pet = Indexable(name="pet", owner=owner, kind="pet")
        owner.kind = "pet"
        owner.pet = pet
        pet.me = pet
        outsider = Indexable(name="out")
        pet._friend = outsider
        index = Index()
        index.add_object_many([owner, pet, outsider])
        rebased = index.reduced(kind="pet").rebase()
        assert rebased.collect() == [owner, pet]
        assert rebased.get_by_attribute(owner=owner) == [pet]
        assert rebased.get_by_attribute(pet=pet, kind="pet") == [owner]
        assert rebased.get_by_attribute(_friend=outsider) == [pet]
        pet.owner = None  # both objects are registered in the rebased index
        assert rebased.get_by_attribute(owner=owner) == []

    def test_fails_before_registering_while_an_object_is_written_elsewhere(self, shop):
        index, (a, b, c, d) = shop
        view = index.reduced(colour="red")
        with written_elsewhere(c):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                view.rebase()
        a.size = 7  # a was taken before c failed: its borrow was given back
        assert index.get_by_attribute(size=7) == [a]
        assert view.rebase().get_by_attribute(size=7) == [a]


class TestUnion:
    def test_undoing_a_reduction(self):
        o1 = Indexable(colour="red", size=1)
        o2 = Indexable(colour="blue", size=1)
        index = Index()
        index.add_object_many([o1, o2])
        copy = index.reduced(size=1).rebase()
        index.reduce(colour="red")
        assert index.get_by_attribute(colour="blue") == []
        index.union_with(copy)
        assert index.get_by_attribute(colour="blue") == [o2]
        assert index.get_by_attribute(size=1) == [o1, o2]

    def test_both_directions_over_disjoint_objects(self):
        mine = [Indexable(colour="red", shape="round"), Indexable(colour="blue")]
        theirs = [Indexable(colour="red", weight=3), Indexable(colour="green")]
        left, right = Index(), Index()
        left.add_object_many(mine)
        right.add_object_many(theirs)
        left.union_with(right)
        right.union_with(left)
        # Neither stores the other's objects: their ids are skipped by every reader.
        assert left.get_by_attribute(colour="red") == [mine[0]]
        assert left.get_by_attribute(colour="green") == []
        assert left.get_by_attribute(weight=3) == []
        assert right.get_by_attribute(shape="round") == []
        assert left.reduced(colour="red").collect() == [mine[0]]
        rebased = left.reduced(colour=["red", "green", "blue"]).rebase()
        assert rebased.collect() == mine
        assert rebased.get_by_attribute(colour="green") == []
        left.reduce(colour="red")
        assert left.get_by_attribute(colour=["red", "blue"]) == [mine[0]]
        assert left.collect() == mine and right.collect() == theirs

    def test_names_only_this_index_has_keep_their_maps(self, shop):
        index, (a, b, c, d) = shop
        other = Index()
        extra = Indexable(colour="red")
        other.add_object(extra)
        index.union_with(other)
        assert index.get_by_attribute(size=1) == [a, b]
        assert index.get_by_attribute(colour="red") == [a, c]
        assert other.get_by_attribute(colour="red") == [extra]

    def test_nested_values(self):
        home, away = Indexable(name="home"), Indexable(name="away")
        objs = [Indexable(name=i, owner=home if i % 2 else away) for i in range(6)]
        index = Index()
        index.add_object_many(objs)
        backup = index.reduced(owner=[home, away]).rebase()
        index.reduce(owner=home)
        assert index.get_by_attribute(owner=away) == []
        index.union_with(backup)
        assert index.get_by_attribute(owner=away) == objs[0::2]
        assert index.get_by_attribute(owner=[home, away]) == objs
        objs[0].owner = home
        assert index.get_by_attribute(owner=home) == [objs[0], *objs[1::2]]

    def test_while_another_thread_holds_the_other_index(self, shop):
        index, objs = shop
        other = Index()
        started, release = threading.Event(), threading.Event()

        def slow_values():
            started.set()
            release.wait(10)
            yield "red"

        lookup = threading.Thread(target=lambda: other.get_by_attribute(colour=slow_values()))
        lookup.start()
        assert started.wait(10)
        index.union_with(other)  # shared access alongside a lookup
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            other.union_with(index)
        release.set()
        lookup.join(10)
        assert index.get_by_attribute(colour="red") == [objs[0], objs[2]]


class TestReentrancy:
    def test_python_code_run_by_a_derived_call_meets_errors_or_results(self, shop):
        index, (a, b, c, d) = shop
        view = index.reduced(size=1)
        seen = []

        class Probe:
            def __hash__(self):
                for call in (
                    lambda: index.reduce(colour="red"),
                    lambda: index.union_with(Index()),
                    lambda: view.rebase().collect(),
                    lambda: index.get_by_attribute(colour="red"),
                ):
                    try:
                        seen.append(call())
                    except RuntimeError as error:
                        seen.append(str(error))
                return hash("red")

        index.reduce(colour=Probe())
        assert seen == ["Already borrowed", "Already borrowed", [a, b], "Already mutably borrowed"]
        assert index.get_by_attribute(size=1) == [a]

    def test_finalisers_during_derived_calls(self, shop):
        index, objs = shop
        outcomes = []

        class Noisy(Indexable):
            def __del__(self):
                for call in (
                    lambda: index.get_by_attribute(colour="red"),
                    lambda: index.reduce(colour=["red", "blue", "green"]),
                    lambda: objs[0].__setattr__("size", 1),
                ):
                    try:
                        call()
                        outcomes.append("ok")
                    except RuntimeError:
                        outcomes.append("refused")

        def churn():
            for _ in range(50):
                junk = Noisy(colour="red")
                junk.cycle = junk
                side = Index()
                side.add_object(junk)
                del junk, side

        gc.collect()
        thresholds = gc.get_threshold()
        gc.set_threshold(1, 1, 1)
        try:
            for _ in range(20):
                churn()
                view = index.reduced(size=[1, 2])
                rebased = view.rebase()
                rebased.union_with(index)
                index.union_with(rebased)
                index.reduce(colour=["red", "blue", "green"])
        finally:
            gc.set_threshold(*thresholds)
        gc.collect()
        assert outcomes and set(outcomes) <= {"ok", "refused"}
        assert index.get_by_attribute(size=[1, 2]) == objs


def test_threads_mixing_derived_calls_and_writes_finish():
    objs = [Indexable(colour=("red", "blue")[i % 2], size=i % 5) for i in range(2000)]
    index = Index()
    index.add_object_many(objs)
    errors = []
    stop = threading.Event()

    def run(work):
        try:
            while not stop.is_set():
                try:
                    work()
                except RuntimeError as error:
                    assert str(error) in ("Already borrowed", "Already mutably borrowed")
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    copy = index.reduced(size=[0, 1, 2, 3, 4]).rebase()

    def writer():
        for obj in objs[::7]:
            obj.size = (obj.size + 1) % 5

    def deriving():
        index.reduce(colour=["red", "blue"])
        index.union_with(copy)
        index.reduced(colour="red").rebase()
        copy.union_with(index)

    threads = [threading.Thread(target=run, args=(work,)) for work in (writer, deriving, deriving)]
    for thread in threads:
        thread.start()
    stop.wait(3)
    stop.set()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads), "threads did not finish"
    assert not errors, errors
    for size in range(5):
        found = index.get_by_attribute(size=size)
        assert set(found) >= {o for o in objs if o.size == size}


def test_a_union_never_meets_an_object_between_its_indexes():
    """An attribute write moves the object in all its indexes at once: a union
    running meanwhile must not carry the old value over from the index not yet
    updated."""
    objs = [Indexable(size=0) for _ in range(50_000)]
    first, second = Index(), Index()
    first.add_object_many(objs)
    second.add_object_many(objs)
    done = threading.Event()

    def writer():
        for obj in objs:
            obj.size = 1
        done.set()

    def unions():
        while not done.is_set():
            first.union_with(second)
            second.union_with(first)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=writer), threading.Thread(target=unions)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    finally:
        sys.setswitchinterval(interval)
    assert first.get_by_attribute(size=0) == second.get_by_attribute(size=0) == []
    assert first.get_by_attribute(size=1) == second.get_by_attribute(size=1) == objs


def test_a_union_leaves_no_stale_entry_for_objects_stored_later():
    """Ids of objects this index did not store at the union are not carried:
    writes made before storing them would not have reached this index."""
    obj, mine = Indexable(a=1), Indexable(a=5)
    other, index = Index(), Index()
    other.add_object(obj)
    index.add_object(mine)
    index.union_with(other)
    obj.a = 2
    index.add_object(obj)
    assert index.get_by_attribute(a=1) == []
    assert index.get_by_attribute(a=2) == [obj]
    # Nor through a chain: `middle` does not store `obj` and misses its writes.
    middle = Index()
    middle.add_object(mine)
    middle.union_with(other)
    obj.a = 3
    index.union_with(middle)
    assert index.get_by_attribute(a=[1, 2]) == []
    assert index.get_by_attribute(a=3) == [obj]
