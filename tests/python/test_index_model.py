"""Keyword lookup compared with a brute-force evaluation, and used from threads."""

import enum
import random
import threading
import time

import pytest

from Corvalex import Index, Indexable


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


OWNERS = [Indexable(name=f"owner{i}") for i in range(5)]
POOL = [
    0, 1, 2, 3, -1, -2, 10**12, -(2**63), 2**63 - 1,
    0.0, -0.0, 1.0, 2.5, float("inf"), float("nan"),
    True, False, None, "", "a", "b", "ab", "ü", (1, 2), (), frozenset({1}),
    [1], {"k": 1}, Level.LOW, Level.HIGH, *OWNERS,
]
NAMES = ["a", "b", "c", "", "_hidden"]


def value_key(value):
    """The identity a value has inside an index: its hash, 0 if unhashable."""
    try:
        return hash(value)
    except TypeError:
        return 0


def brute_force(objects, query):
    def matches(attrs, name, wanted):
        return (
            not name.startswith("_")
            and name in attrs
            and value_key(attrs[name]) in {value_key(v) for v in wanted}
        )

    if not query:
        return []
    wanted = {
        name: [values] if isinstance(values, str) or not _iterable(values) else list(values)
        for name, values in query.items()
    }
    return [obj for obj, attrs in objects if all(matches(attrs, n, w) for n, w in wanted.items())]


def _iterable(value):
    try:
        iter(value)
    except TypeError:
        return False
    return True


def random_query(rng):
    query = {}
    for name in rng.sample(NAMES + ["missing"], rng.choice([1, 1, 2, 2, 3])):
        shape = rng.random()
        if shape < 0.5:
            value = rng.choice(POOL)
            # A lone iterable value would mean "any of its items"; wrap it so the
            # query asks for the value itself, unless it is a str.
            query[name] = value if isinstance(value, str) or not _iterable(value) else [value]
        elif shape < 0.9:
            query[name] = rng.sample(POOL, rng.randrange(0, 5))
        else:
            query[name] = tuple(rng.choice(POOL) for _ in range(3))
    return query


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_lookups_agree_with_brute_force(seed):
    rng = random.Random(seed)
    objects = []
    for _ in range(3000):
        attrs = {name: rng.choice(POOL) for name in rng.sample(NAMES, rng.randrange(0, 4))}
        objects.append((Indexable(**attrs), attrs))
    index = Index()
    cut = rng.randrange(len(objects))
    index.add_object_many([obj for obj, _ in objects[:cut]])
    for obj, _ in objects[cut:]:
        index.add_object(obj)
    assert index.collect() == [obj for obj, _ in objects]
    for _ in range(400):
        query = random_query(rng)
        expected = brute_force(objects, query)
        assert index.get_by_attribute(**query) == expected, query
        assert index.reduced(**query).collect() == expected, query


def test_threads_build_their_own_indexes_while_querying_a_shared_one():
    colours = ["red", "green", "blue"]
    shared_objects = [Indexable(colour=colours[i % 3], size=i % 7) for i in range(20000)]
    shared = Index()
    shared.add_object_many(shared_objects)
    expected_red = [o for o in shared_objects if o.colour == "red"]
    expected_two = [o for o in shared_objects if o.colour == "blue" and o.size == 2]
    errors = []
    deadline = time.monotonic() + 60

    def builder(seed):
        try:
            rng = random.Random(seed)
            for _ in range(5):
                objs = [Indexable(k=rng.randrange(50), seed=seed) for _ in range(5000)]
                own = Index()
                own.add_object_many(objs[:2500])
                for obj in objs[2500:2600]:
                    own.add_object(obj)
                assert own.get_by_attribute(seed=seed) == objs[:2600]
                assert own.get_by_attribute(k=7) == [o for o in objs[:2600] if o.k == 7]
                assert shared.get_by_attribute(colour="red") == expected_red
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    def reader():
        try:
            while time.monotonic() < deadline and any(t.is_alive() for t in builders):
                assert shared.get_by_attribute(colour="red") == expected_red
                assert shared.get_by_attribute(colour="blue", size=2) == expected_two
                assert len(shared.collect()) == len(shared_objects)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    builders = [threading.Thread(target=builder, args=(seed,)) for seed in range(3)]
    readers = [threading.Thread(target=reader) for _ in range(2)]
    for thread in builders + readers:
        thread.start()
    for thread in builders + readers:
        thread.join(timeout=max(1.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in builders + readers), "threads did not finish"
    assert not errors, errors


def test_adding_while_another_thread_holds_the_index_fails_at_once():
    index = Index()
    started = threading.Event()
    release = threading.Event()

    def slow_values():
        started.set()
        release.wait(10)
        yield 1

    results = []

    def lookup():
        results.append(index.get_by_attribute(a=slow_values()))

    thread = threading.Thread(target=lookup)
    thread.start()
    assert started.wait(10)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.add_object(Indexable(a=1))
    release.set()
    thread.join(10)
    assert results == [[]]
    index.add_object(Indexable(a=1))  # the borrow is released
