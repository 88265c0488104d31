"""Keyword lookup and query expressions compared with a brute-force evaluation, and used
from threads."""

import enum
import random
import threading
import time

import pytest

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


OWNERS = [Indexable(name=f"owner{i}", rank=i * 1.5) for i in range(5)]
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


def build_indexed(rng, values, count):
    """`count` objects with up to three random attributes, indexed partly in
    one batch and partly one by one; returns [(object, attrs)] and the index."""
    objects = []
    for _ in range(count):
        attrs = {name: rng.choice(values) for name in rng.sample(NAMES, rng.randrange(0, 4))}
        objects.append((Indexable(**attrs), attrs))
    index = Index()
    cut = rng.randrange(len(objects))
    index.add_object_many([obj for obj, _ in objects[:cut]])
    for obj, _ in objects[cut:]:
        index.add_object(obj)
    return objects, index


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_lookups_agree_with_brute_force(seed):
    rng = random.Random(seed)
    objects, index = build_indexed(rng, POOL, 3000)
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


# --- Query expressions compared with a brute-force evaluation -----------------

PATHS = [
    "a", "b", "c", "", "_hidden", "missing",
    "a.name", "a.rank", "b.name", "c.rank", "b.missing", "a._x", "a.name.x", ".a", "a.",
]
NUMBERS = [0, 1, 2, 3, -1, -2, 2.5, -0.0, 0.0, 1.0, 10**12, -(2**63), 2**63 - 1,
           float("inf"), float("-inf"), float("nan"), *(o.rank for o in OWNERS)]
COMPARISONS = {
    "gt": lambda v, bound: v > bound,
    "ge": lambda v, bound: v >= bound,
    "lt": lambda v, bound: v < bound,
    "le": lambda v, bound: v <= bound,
}


class Unsupported(Exception):
    """What the index reports as NotImplementedError("not yet implemented")."""


def is_number(value):
    return type(value) in (int, float)  # exact types: bools and enums are never ranged


def is_public(name):
    return not name.startswith("_")


def random_expr(rng, depth=3):
    kind = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in"] + ["not", "and", "or"] * (depth > 0))
    if kind == "not":
        return ("not", random_expr(rng, depth - 1))
    if kind in ("and", "or"):
        return (kind, [random_expr(rng, depth - 1) for _ in range(rng.randrange(4))])
    path = rng.choice(PATHS)

    def value():
        return rng.choice(NUMBERS) if rng.random() < 0.4 else rng.choice(POOL)

    if kind == "bt":
        bound = (lambda: rng.choice(NUMBERS)) if rng.random() < 0.9 else value
        return ("bt", path, bound(), bound())
    if kind == "in":
        return ("in", path, [value() for _ in range(rng.randrange(4))])
    return (kind, path, value())


def build(expr):
    kind = expr[0]
    if kind == "not":
        return Q.not_(build(expr[1]))
    if kind in ("and", "or"):
        return getattr(Q, kind + "_")(*[build(e) for e in expr[1]])
    if kind == "in":
        return Q.in_(expr[1], tuple(expr[2]))
    return getattr(Q, kind)(*expr[1:])


def condition(kind, path, args, universe, objects, nested_of):
    """One attribute condition over `objects` (object -> its attributes)."""
    head, dot, rest = path.partition(".")
    holders = {o: attrs[head] for o, attrs in objects.items() if head in attrs and is_public(head)}
    if not holders:  # no map for the attribute: nothing, and no error either
        return set()
    if dot:  # answered by the nested index, over its own objects, not confined
        inner_objects = nested_of(head)
        inner = condition(kind, rest, args, set(inner_objects), inner_objects, lambda _: {})
        return {o for o, v in holders.items() if isinstance(v, Indexable) and v in inner}
    if kind == "eq":
        return {o for o, v in holders.items() if value_key(v) == value_key(args[0])}
    if kind == "in":
        wanted = {value_key(v) for v in args[0]}
        return {o for o, v in holders.items() if value_key(v) in wanted} & universe
    if kind == "bt":
        low, high = args
        if not is_number(low) or not is_number(high):
            raise Unsupported
        return {o for o, v in holders.items() if is_number(v) and low <= v <= high} & universe
    bound = args[0]
    if isinstance(bound, Indexable):
        raise Unsupported
    if not is_number(bound):
        return set()
    compare = COMPARISONS[kind]
    return {o for o, v in holders.items() if is_number(v) and compare(v, bound)} & universe


def evaluate(expr, universe, objects, nested_of):
    kind = expr[0]
    if kind == "not":
        return universe - evaluate(expr[1], universe, objects, nested_of)
    if kind == "and":
        result = set(universe)
        for operand in expr[1]:
            result &= evaluate(operand, result, objects, nested_of)
            if not result:
                break
        return result
    if kind == "or":
        return set().union(*[evaluate(operand, universe, objects, nested_of) for operand in expr[1]])
    if kind == "ne":
        return universe - condition("eq", expr[1], expr[2:], universe, objects, nested_of)
    return condition(kind, expr[1], expr[2:], universe, objects, nested_of)


class QueryModel:
    """An index's objects and, per attribute, the indexable values its nested index holds."""

    def __init__(self, objects):
        self.order = [obj for obj, _ in objects]
        self.attrs = dict(objects)
        self.nested = {}
        for attrs in self.attrs.values():
            for name, value in attrs.items():
                if is_public(name) and isinstance(value, Indexable):
                    self.nested.setdefault(name, set()).add(value)

    def nested_of(self, name):
        return {owner: OWNER_ATTRS[owner] for owner in self.nested.get(name, ())}

    def write(self, obj, name, value):
        attrs = self.attrs[obj]
        if is_public(name):
            if name in attrs and not any(name in a for o, a in self.attrs.items() if o is not obj):
                self.nested.pop(name, None)  # the attribute's map goes with its last holder
            if isinstance(value, Indexable):
                self.nested.setdefault(name, set()).add(value)
        setattr(obj, name, value)
        attrs[name] = value

    def listed(self, ids):
        return [obj for obj in self.order if obj in ids]

    def expected(self, expr, universe):
        try:
            return self.listed(evaluate(expr, universe, self.attrs, self.nested_of))
        except Unsupported:
            return Unsupported


def check_query(model, target, expr, universe):
    expected = model.expected(expr, universe)
    if expected is Unsupported:
        with pytest.raises(NotImplementedError, match="^not yet implemented$"):
            target.reduced_query(build(expr))
        return None
    view = target.reduced_query(build(expr))
    assert view.collect() == expected, expr
    return view


OWNER_ATTRS = {}


def _make_owners():
    name_ranks = [("ann", 1), ("bob", 2.5), ("cy", -3), ("dee", True), ("", 0), ("eve", float("nan")), ("fay", None)]
    for name, rank in name_ranks:
        owner = Indexable(name=name, rank=rank, _x=1)
        OWNER_ATTRS[owner] = {"name": name, "rank": rank}
    for owner in OWNERS:
        OWNER_ATTRS[owner] = {"name": owner.name, "rank": owner.rank}
    return list(OWNER_ATTRS)


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_expressions_agree_with_brute_force(seed):
    rng = random.Random(seed)
    owners = _make_owners()
    values = POOL + owners
    objects, index = build_indexed(rng, values, 800)
    model = QueryModel(objects)

    views = []
    for phase in range(4):
        everything = set(model.order)
        for _ in range(120):
            expr = random_expr(rng)
            view = check_query(model, index, expr, everything)
            if view is not None and len(views) < 6 + 6 * phase:
                views.append((view, set(view.collect())))
        keywords = random_query(rng)
        views.append((index.reduced(**keywords), set(brute_force(objects, keywords))))
        for view, ids in views:
            assert view.collect() == model.listed(ids)
            for _ in range(8):
                check_query(model, view, random_expr(rng, depth=2), ids)
            keywords = random_query(rng)
            expected = [obj for obj in brute_force(objects, keywords) if obj in ids]
            assert view.reduced(**keywords).collect() == expected, keywords
        for _ in range(150):  # writes move objects; the views keep their ids
            obj = rng.choice(model.order)
            model.write(obj, rng.choice(NAMES + ["c", "d"]), rng.choice(values))


def test_queries_while_other_threads_write_attributes():
    # Writers move each object only within its class (sizes below 100 for
    # kinds 0 and 1, from 100 up for kinds 2 and 3), so every query has one
    # right answer throughout.
    objs = [Indexable(kind=i % 4, size=i % 100 + 100 * (i % 4 // 2), colour="red") for i in range(4000)]
    index = Index()
    index.add_object_many(objs)
    low = [o for i, o in enumerate(objs) if i % 4 < 2]
    high = [o for i, o in enumerate(objs) if i % 4 >= 2]
    checks = [
        (Q.lt("size", 100), low),
        (Q.bt("size", 0, 99.5), low),
        (Q.not_(Q.le("size", 99.5)), high),
        (Q.and_(Q.eq("kind", 2), Q.ge("size", 100.0)), objs[2::4]),
        (Q.or_(Q.and_(Q.in_("kind", [0, 3]), Q.gt("size", 99.5)), Q.eq("kind", 1)), objs[1::2]),
        (Q.and_(Q.ne("colour", "nope"), Q.not_(Q.in_("kind", [1, 3])), Q.lt("size", 200)), objs[0::2]),
    ]
    view = index.reduced_query(Q.in_("kind", [0, 2]))
    errors = []
    stop = threading.Event()
    deadline = time.monotonic() + 3

    def writer(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set() and time.monotonic() < deadline:
                i = rng.randrange(seed, len(objs), 2)  # each writer owns its objects
                base = 100 * (i % 4 // 2)
                objs[i].size = base + (rng.randrange(100) if rng.random() < 0.5 else rng.randrange(99) + 0.5)
                objs[i].colour = rng.choice(["red", "green", "blue"])
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    def reader():
        rounds = 0
        try:
            while not stop.is_set() and time.monotonic() < deadline:
                for expr, expected in checks:
                    assert index.reduced_query(expr).collect() == expected, expr
                assert view.reduced_query(Q.ge("size", 100)).collect() == objs[2::4]
                assert view.reduced_query(Q.lt("size", 100)).collect() == objs[0::4]
                assert view.reduced(kind=[1, 2]).collect() == objs[2::4]
                rounds += 1
            assert rounds > 0
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=writer, args=(s,)) for s in range(2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    stop.set()
    assert not any(thread.is_alive() for thread in threads), "threads did not finish"
    assert not errors, errors
    assert index.reduced_query(Q.gt("size", 150)).collect() == [o for o in objs if o.size > 150]
    assert index.reduced_query(Q.eq("colour", "red")).collect() == [o for o in objs if o.colour == "red"]
