"""Adding an object while another thread writes its attributes: the write
either comes first and is indexed, or comes after and reaches the index."""

import sys
import threading

import pytest

from Corvalex import Index, Indexable


@pytest.fixture
def tiny_switch_interval():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def _retry_on_borrow_conflict(action):
    while True:
        try:
            return action()
        except RuntimeError as error:
            assert str(error) in ("Already borrowed", "Already mutably borrowed")


def _race_once(filler_attributes):
    index = Index()
    obj = Indexable(value=0, **filler_attributes)
    start = threading.Barrier(2)
    added = []

    def add():
        start.wait()
        try:
            index.add_object(obj)
            added.append(True)
        except RuntimeError as error:
            assert str(error) == "Already mutably borrowed"
            added.append(False)

    def write():
        start.wait()
        value = 0
        while not added:
            value += 1
            _retry_on_borrow_conflict(lambda: setattr(obj, "value", value))

    threads = [threading.Thread(target=add), threading.Thread(target=write)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    earlier = [v for v in range(obj.value)]
    return (
        added[0],
        index.get_by_attribute(value=earlier) if earlier else [],
        index.get_by_attribute(value=obj.value) == [obj],
        index.collect() == [obj],
    )


def test_insertion_racing_attribute_writes_leaves_no_stale_entry(tiny_switch_interval):
    # Many attributes widen the window between reading and registering.
    filler = {f"f{i}": i for i in range(200)}
    outcomes = [_race_once(filler) for _ in range(300)]
    for added, stale, found_current, stored in outcomes:
        assert stale == []
        # A refused add changes nothing; a successful one follows the writes.
        assert found_current == added
        assert stored == added


def test_add_object_of_an_object_being_written_fails_before_changing_anything():
    index = Index()

    class Hostile:
        def __hash__(self):
            # Runs inside the attribute write, while the object is held.
            try:
                index.add_object(obj)
            except RuntimeError as error:
                refusals.append(str(error))
            return 1

    refusals = []
    obj = Indexable(a=1)
    obj.b = Hostile()
    assert refusals == ["Already mutably borrowed"]
    assert index.collect() == []
    index.add_object(obj)
    obj.a = 2
    assert index.get_by_attribute(a=2) == [obj]


def test_add_object_many_takes_items_one_by_one_and_the_first_failure_wins():
    index = Index()
    obj = Indexable(a=1)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.add_object_many([obj, obj, 5])
    with pytest.raises(TypeError, match="argument 'objs'"):
        index.add_object_many([obj, 5, obj])
    assert index.collect() == []


def test_add_object_many_of_an_object_in_its_own_write_is_refused():
    index = Index()
    other = Indexable(b=0)
    refusals = []

    class Hostile:
        def __hash__(self):
            try:
                index.add_object_many([other, obj])
            except RuntimeError as error:
                refusals.append(str(error))
            return 1

    obj = Indexable(a=1)
    obj.c = Hostile()
    assert refusals == ["Already borrowed"]
    assert index.collect() == []
    other.b = 1  # not left held
    index.add_object_many([other, obj])
    assert index.get_by_attribute(b=1) == [other]
