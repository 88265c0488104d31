"""Conflicting use of one object fails at once with the documented
RuntimeError instead of waiting, and threads never see an index that
disagrees with its objects."""

import gc
import json
import pathlib
import random
import subprocess
import sys
import threading

import pytest

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q

REFUSALS = ("Already borrowed", "Already mutably borrowed")


def run_inside(hold, index, obj, call):
    """Runs `call` from Python code that the module runs while it holds
    `index` shared (a lookup's values), `index` exclusively (add_object_many's
    sequence) or `obj` exclusively (the hash of a value assigned to it)."""
    seen = []

    def attempt():
        try:
            seen.append(call())
        except RuntimeError as error:
            seen.append(str(error))

    class Runs:
        def __len__(self):
            return 1

        def __getitem__(self, position):
            if position:
                raise IndexError
            attempt()
            return Indexable(a=7)

        def __hash__(self):
            attempt()
            return 1

    def values():
        attempt()
        yield 1

    if hold == "index shared":
        index.get_by_attribute(a=values())
    elif hold == "index exclusive":
        index.add_object_many(Runs())
    else:
        setattr(obj, "held", Runs())
    return seen[0]


OK = "ok"
# (hold, call, outcome): `i` an index of `o` (a=1) and `p` (a=2, owner=o), `v` a view of both, `c` a copy.
REFUSAL_TABLE = [
    ("index shared", lambda i, v, c, o, p: i.get_by_attribute(a=2), [2]),
    ("index shared", lambda i, v, c, o, p: i.reduced_query(Q.eq("a", 1)).collect(), [1]),
    ("index shared", lambda i, v, c, o, p: c.union_with(i), OK),
    ("index shared", lambda i, v, c, o, p: i.add_object(Indexable()), "Already borrowed"),
    ("index shared", lambda i, v, c, o, p: i.add_object_many([]), "Already borrowed"),
    ("index shared", lambda i, v, c, o, p: i.reduce(a=1), "Already borrowed"),
    ("index shared", lambda i, v, c, o, p: i.union_with(c), "Already borrowed"),
    ("index exclusive", lambda i, v, c, o, p: i.get_by_attribute(a=1), "Already mutably borrowed"),
    ("index exclusive", lambda i, v, c, o, p: i.collect(), "Already mutably borrowed"),
    ("index exclusive", lambda i, v, c, o, p: i.reduced(a=1), "Already mutably borrowed"),
    ("index exclusive", lambda i, v, c, o, p: i.reduced_query(Q.eq("a", 1)), "Already mutably borrowed"),
    ("index exclusive", lambda i, v, c, o, p: c.union_with(i), "Already mutably borrowed"),
    ("index exclusive", lambda i, v, c, o, p: v.collect(), [1, 2]),
    ("object written", lambda i, v, c, o, p: o.a, "Already mutably borrowed"),
    ("object written", lambda i, v, c, o, p: o.__setattr__("a", 5), "Already mutably borrowed"),
    ("object written", lambda i, v, c, o, p: i.add_object(o), "Already mutably borrowed"),
    ("object written", lambda i, v, c, o, p: Index().add_object_many([p, o]), "Already borrowed"),
    ("object written", lambda i, v, c, o, p: i.reduce(a=1), "Already mutably borrowed"),
    ("object written", lambda i, v, c, o, p: i.reduce(a=2), "Already mutably borrowed"),  # p holds o
    ("object written", lambda i, v, c, o, p: v.rebase(), "Already borrowed"),
    ("object written", lambda i, v, c, o, p: i.get_by_attribute(a=1), [1]),
    ("object written", lambda i, v, c, o, p: v.reduced_query(Q.lt("a", 3)).collect(), [1, 2]),
]


@pytest.mark.parametrize("hold, call, outcome", REFUSAL_TABLE)
def test_conflicting_calls_are_refused_at_once_and_change_nothing(hold, call, outcome):
    o = Indexable(a=1)
    p = Indexable(a=2, owner=o)
    index = Index()
    index.add_object_many([o, p])
    view, copy = index.reduced(a=[1, 2]), index.reduced(a=[1, 2]).rebase()
    got = run_inside(hold, index, o, lambda: call(index, view, copy, o, p))
    if isinstance(got, list):
        got = [obj.a for obj in got]
    assert got == outcome if outcome != OK else got is None
    # Nothing was left held or half done.
    o.a = 3
    assert index.get_by_attribute(a=3) == copy.get_by_attribute(a=3) == [o]
    assert index.get_by_attribute(a=2) == [p] and index.collect()[:2] == [o, p]


def run_together(*targets):
    """Runs `targets` on threads of their own and waits for all of them."""
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"


@pytest.fixture
def tiny_switch_interval():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_adding_an_object_while_another_thread_writes_it_leaves_no_stale_entry(tiny_switch_interval):
    filler = {f"f{i}": i for i in range(200)}  # widens the window between reading and registering
    for _ in range(300):
        index, obj = Index(), Indexable(value=0, **filler)
        start, added = threading.Barrier(2), []

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
            while not added:
                try:
                    obj.value += 1
                except RuntimeError as error:
                    assert str(error) in REFUSALS

        run_together(add, write)
        earlier = list(range(obj.value))
        assert (index.get_by_attribute(value=earlier) if earlier else []) == []
        # A refused add changes nothing; a successful one follows the writes.
        assert index.get_by_attribute(value=obj.value) == index.collect() == ([obj] if added[0] else [])


def test_a_union_never_meets_an_object_between_its_indexes(tiny_switch_interval):
    """A write moves the object in all its indexes at once: a union running
    meanwhile must not carry the old value over from the index not yet updated."""
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

    run_together(writer, unions)
    assert first.get_by_attribute(size=0) == second.get_by_attribute(size=0) == []
    assert first.get_by_attribute(size=1) == second.get_by_attribute(size=1) == objs


def run_threads(targets, seconds):
    """Runs `targets` until `seconds` pass; returns what they raised."""
    errors, stop = [], threading.Event()

    def loop(target):
        try:
            while not stop.is_set():
                target()
        except BaseException as error:  # noqa: BLE001 - reported by the caller
            errors.append(error)

    threading.Timer(seconds, stop.set).start()
    run_together(*(lambda target=target: loop(target) for target in targets))
    return errors


def test_readers_see_one_right_answer_while_others_write():
    # Writers move each object only within its class (sizes below 100 for
    # kinds 0 and 1, from 100 up for kinds 2 and 3).
    objs = [Indexable(kind=i % 4, size=i % 100 + 100 * (i % 4 // 2)) for i in range(4000)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.in_("kind", [0, 2]))
    checks = [
        (index, Q.lt("size", 100), objs[0::4] + objs[1::4]),
        (index, Q.not_(Q.le("size", 99.5)), objs[2::4] + objs[3::4]),
        (index, Q.or_(Q.and_(Q.in_("kind", [0, 3]), Q.gt("size", 99.5)), Q.eq("kind", 1)), objs[1::2]),
        (view, Q.ge("size", 100), objs[2::4]),
    ]
    checks = [(target, expr, sorted(expected, key=objs.index)) for target, expr, expected in checks]

    def writer(first, rng=random.Random(1)):
        obj = objs[rng.randrange(first, len(objs), 2)]  # each writer owns its objects
        obj.size = 100 * (obj.kind // 2) + rng.choice([rng.randrange(100), rng.randrange(99) + 0.5])

    def reader():
        for target, expr, expected in checks:
            assert target.reduced_query(expr).collect() == expected, expr
        assert view.reduced(kind=[1, 2]).collect() == objs[2::4]

    assert run_threads([lambda: writer(0), lambda: writer(1), reader, reader], 2) == []


def test_finalisers_run_by_other_threads_during_queries_never_hang():
    index = Index()
    index.add_object_many([Indexable(a=i % 10, b=i) for i in range(50_000)])
    outcomes = []

    class Finaliser:
        def __init__(self):
            self.cycle = self  # freed by the collector, on whichever thread runs it

        def __del__(self):
            try:
                outcomes.append(len(index.reduced_query(Q.eq("a", 3)).collect()))
                index.add_object(Indexable(a=99))
            except RuntimeError as error:
                outcomes.append(str(error))

    expr = Q.and_(Q.ge("b", 100), Q.not_(Q.in_("a", [1, 2])), Q.or_(Q.lt("b", 40_000), Q.eq("a", 7)))

    def querying():
        try:
            assert index.reduced_query(expr).collect()
        except RuntimeError as error:  # a finaliser is adding on the other thread
            assert str(error) == "Already mutably borrowed"
        Finaliser()

    def collecting():
        Finaliser()
        gc.collect()

    assert run_threads([querying, collecting], 2) == []
    gc.collect()
    assert outcomes and set(outcomes) <= {5000, *REFUSALS}


def test_objects_made_on_many_threads_get_distinct_ids():
    shared = Indexable(x=0)
    index = Index()
    index.add_object(shared)
    made = [[] for _ in range(4)]

    def work(mine):
        for i in range(2000):
            mine.append(Indexable(i=i))
            try:
                shared.x = i  # writes reaching the index from every thread
            except RuntimeError as error:  # another thread is writing it
                assert str(error) in REFUSALS

    run_together(*(lambda mine=mine: work(mine) for mine in made))
    index.add_object_many([obj for mine in made for obj in mine])
    listed = index.collect()  # one slot per id: a shared id would lose an object
    assert len(listed) == 8001 and index.get_by_attribute(x=shared.x) == [shared]
    for mine in made:  # one thread's objects are listed in the order it made them
        positions = [listed.index(obj) for obj in mine[::200]]
        assert positions == sorted(positions)


def test_threads_mixing_every_operation_leave_every_index_agreeing():
    """thread_stress.py in a child: CORVALEX_SOAK_SECONDS makes it a soak."""
    import os

    seconds = float(os.environ.get("CORVALEX_SOAK_SECONDS", "3"))
    program = pathlib.Path(__file__).with_name("thread_stress.py")
    try:
        result = subprocess.run([sys.executable, "-X", "faulthandler", str(program), str(seconds)],
                                capture_output=True, text=True, timeout=seconds * 3 + 240)
    except subprocess.TimeoutExpired:
        pytest.fail("the stress run hung past its watchdog")
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-5000:]}"
    figures = json.loads(result.stdout.splitlines()[-1])
    assert figures["failures"] == [] and figures["disagreements"] == 0, figures
    assert figures["operations"] > 1000 and figures["refusals"] > 0, figures  # the threads did contend
