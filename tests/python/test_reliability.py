"""Reliability: no operation leaks, hostile values and finalisers that
re-enter the module during every operation, long chains, cycles, deep
expressions and many names. Each case runs in a child interpreter, where a
hang or a crash fails the test instead of the run.

`python tests/python/test_reliability.py [CALLS]` prints the growth per
10,000 calls of every operation of the leak table."""

import gc
import json
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

from conftest import SANITIZED

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q

LEAK_PRELUDE = """
import ctypes, gc, json, sys
from Corvalex import Index, Indexable, PyQueryExpr as Q

class Sub(Indexable):
    pass

class BadHash:
    def __hash__(self):
        raise ValueError("bad hash")

class BadEq:
    def __hash__(self):
        return 1
    def __eq__(self, other):
        raise ValueError("bad eq")

class BadSeq:
    def __len__(self):
        return 2
    def __getitem__(self, i):
        if i == 0:
            return w
        raise ValueError("bad item")

owner = Indexable(name="owner")
objs = [Indexable(a=i % 5, b=str(i), c=i / 2, owner=owner) for i in range(30)]
idx = Index()
idx.add_object_many(objs)
view = idx.reduced(a=[1, 2])
other = idx.reduced(a=[0, 1, 2, 3, 4]).rebase()
w = objs[7]  # a == 2: in `view`
big = 2**62
huge = 10**30
bad = BadHash()
badeq = BadEq()
refused = [0]

def refusing(call):
    # A value whose hash, taken while `w` is being written, calls the module.
    class Hostile:
        def __hash__(self):
            try:
                call()
            except RuntimeError:
                refused[0] += 1
            return 1
    return Hostile()
"""

# group: {name: (setup, step with `i`, expected exception or None)}
GROUPS = {
    "construction": {
        "nothing": ("", "pass", None),  # the measurement's own cost
        "Indexable(int, str, float, None, big int)": ("", "Indexable(a=i, b='x', c=1.5, d=None, e=big)", None),
        "Indexable(tuple, list, indexable)": ("", "Indexable(t=(1, 2), l=[1, 2], n=owner)", None),
        "Indexable(raising __hash__/__eq__)": ("", "Indexable(a=bad, b=badeq)", None),
        "Indexable(int beyond 64 bits)": ("", "Indexable(a=huge)", OverflowError),
        "Indexable subclass": ("", "Sub(a=i)", None),
        "Index(argument)": ("", "Index(1)", TypeError),
        "FilteredIndex()": ("", "type(view)()", TypeError),
    },
    "attribute writes": {
        "write int": ("", "w.a = i % 5", None),
        "write new str": ("", "w.b = str(i % 100)", None),
        "write indexable": ("", "w.owner = owner if i % 2 else objs[1]", None),
        "write raising __hash__": ("", "w.x = bad", None),
        "write int beyond 64 bits": ("", "w.a = huge", OverflowError),
        "write unindexed": ("", "Indexable(a=1).a = 2", None),
        "delete attribute": ("", "del w.a", AttributeError),
        "read missing attribute": ("", "w.missing", AttributeError),
    },
    "insertion": {
        "add_object to a new index": ("", "Index().add_object(Indexable(a=i, o=owner))", None),
        "add_object again": ("", "idx.add_object(w)", None),
        "add_object(non-indexable)": ("", "idx.add_object(5)", TypeError),
        "add_object refused in a write": ("h = refusing(lambda: idx.add_object(w))", "w.h = h", None),
        "add_object_many to a new index": ("", "Index().add_object_many([Indexable(a=j) for j in range(5)])", None),
        "add_object_many again": ("", "idx.add_object_many(objs[:5])", None),
        "add_object_many(str)": ("", "idx.add_object_many('ab')", TypeError),
        "add_object_many(bad item)": ("", "idx.add_object_many([w, 5])", TypeError),
        "add_object_many(duplicate)": ("", "idx.add_object_many([w, w])", RuntimeError),
        "add_object_many(raising sequence)": ("s = BadSeq()", "idx.add_object_many(s)", ValueError),
        "add_object_many refused in a write": (
            "h = refusing(lambda: idx.add_object_many([objs[0], w]))", "w.h = h", None),
    },
    "lookups": {
        "get_by_attribute(one)": ("", "idx.get_by_attribute(a=1)", None),
        "get_by_attribute(any of, two names)": ("", "idx.get_by_attribute(a=[1, 2], b='7')", None),
        "get_by_attribute(indexable)": ("", "idx.get_by_attribute(owner=owner)", None),
        "get_by_attribute(unknown name)": ("", "idx.get_by_attribute(zz=1)", None),
        "get_by_attribute(raising __hash__/__eq__)": ("", "idx.get_by_attribute(a=bad, b=badeq)", None),
        "collect": ("", "idx.collect()", None),
    },
    "views": {
        "reduced": ("", "idx.reduced(a=1).collect()", None),
        "view.collect": ("", "view.collect()", None),
        "view.reduced": ("", "view.reduced(a=1).collect()", None),
        "view.reduced_query": ("", "view.reduced_query(Q.lt('c', 5)).collect()", None),
        "view.rebase": ("", "view.rebase().collect()", None),
        "view.rebase refused in a write": ("h = refusing(lambda: view.rebase())", "w.h = h", None),
        "view dropped with its index": (
            "", "j = Index(); j.add_object_many(objs[:10]); v = j.reduced(a=1); del j; v.collect()", None),
    },
    "query expressions": {
        "reduced_query(eq)": ("", "idx.reduced_query(Q.eq('a', 1)).collect()", None),
        "reduced_query(ne)": ("", "idx.reduced_query(Q.ne('a', 1)).collect()", None),
        "reduced_query(gt, le)": ("", "idx.reduced_query(Q.gt('c', 2)); idx.reduced_query(Q.le('c', big))", None),
        "reduced_query(bt)": ("", "idx.reduced_query(Q.bt('c', 1, 4.5)).collect()", None),
        "reduced_query(in_)": ("", "idx.reduced_query(Q.in_('b', ['1', '2', bad])).collect()", None),
        "reduced_query(and_, or_, not_)": (
            "", "idx.reduced_query(Q.or_(Q.and_(Q.eq('a', 1), Q.gt('c', 0)), Q.not_(Q.eq('a', 2))))", None),
        "reduced_query(dotted path)": ("", "idx.reduced_query(Q.eq('owner.name', 'owner')).collect()", None),
        "reduced_query(deep expression)": (
            "", "e = Q.eq('a', 1)\nfor _ in range(50): e = Q.not_(e)\nidx.reduced_query(e)", None),
        "reduced_query(range on indexable)": ("", "idx.reduced_query(Q.gt('c', owner))", NotImplementedError),
        "expression(int beyond 64 bits)": ("", "Q.gt('c', huge)", OverflowError),
        "expression repr": ("", "repr(Q.and_(Q.eq('a', big), Q.in_('b', ['x'])))", None),
    },
    "derived indexes": {
        "reduce a new index": ("", "j = Index(); j.add_object_many(objs); j.reduce(a=1)", None),
        "reduce again": ("", "idx.reduce(a=[0, 1, 2, 3, 4])", None),
        "reduce refused in a write": ("h = refusing(lambda: idx.reduce(a=2))", "w.h = h", None),
        "union_with": ("", "idx.union_with(other)", None),
        "union_with(itself)": ("", "idx.union_with(idx)", RuntimeError),
        "reduce then union_with a copy": (
            "",
            "j = Index(); j.add_object_many(objs); c = j.reduced(a=[0, 1, 2, 3, 4]).rebase()\n"
            "j.reduce(a=1); j.union_with(c); j.get_by_attribute(a=2)",
            None,
        ),
    },
    "dropping": {
        "cycle through an index": (
            "", "j = Index(); o = Indexable(a=i); j.add_object(o); o.j = j; del j, o\n"
            "if i % 100 == 0: gc.collect()", None),
    },
}


LEAK_RUNNER = """
try:
    libc = ctypes.CDLL(None)
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    libc.mallinfo2.restype = Mallinfo2
    def heap():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
except (OSError, AttributeError):
    def heap():
        return 0

TRACKED = [owner, objs[0], w, idx, view, other, big, bad, badeq]

def run(step, expected, n):
    raised = 0
    for i in range(n):
        try:
            step(i)
        except Exception as error:
            if expected is None or not isinstance(error, expected):
                raise
            raised += 1
    assert expected is None or raised == n, f"raised {raised} of {n}"

def measure():
    gc.collect()
    return sys.getallocatedblocks(), heap(), [sys.getrefcount(v) for v in TRACKED]

for name, step, expected in STEPS:
    refused[0] = 0
    run(step, expected, N // 5)
    b0, h0, r0 = measure()
    run(step, expected, N)
    b1, h1, r1 = measure()
    run(step, expected, N)
    b2, h2, r2 = measure()
    print(json.dumps({"name": name, "blocks": [b1 - b0, b2 - b1], "bytes": [h1 - h0, h2 - h1],
                      "refs": [a - b for a, b in zip(r2, r1)], "refused": refused[0]}))
"""


def leak_child(group, iterations):
    code = [LEAK_PRELUDE, f"N = {iterations}", "STEPS = []"]
    for number, (name, (setup, step, expected)) in enumerate(GROUPS[group].items()):
        code += [setup, f"def step_{number}(i):", "    global e, j, v, o, c",
                 textwrap.indent(step, "    "),
                 f"STEPS.append(({name!r}, step_{number}, {expected.__name__ if expected else None}))"]
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-c", "\n".join(code) + LEAK_RUNNER],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
    return [json.loads(line) for line in result.stdout.splitlines()]


# The sanitized run allocates with malloc: no block counts there, and every
# call is several times slower.
ITERATIONS = 500 if SANITIZED else 4000


@pytest.mark.parametrize("group", GROUPS)
def test_no_operation_leaks(group):
    for figures in leak_child(group, ITERATIONS):
        name = figures["name"]
        assert figures["refs"] == [0] * len(figures["refs"]), figures
        # A leak of one block or one small allocation per call grows by the
        # number of calls in each half; caches fill once, in the first.
        assert figures["blocks"][1] < ITERATIONS // 50, figures
        assert figures["bytes"][1] < ITERATIONS * 4, figures
        if "refused" in name:  # every call of the hostile hash was refused
            assert figures["refused"] == ITERATIONS // 5 + 2 * ITERATIONS, figures

# Code the module runs while it works (a value's hash, a finaliser) may call
# back into it: each call below, with each action run from inside it, ends in
# a result or a refusal, and the index agrees with its objects afterwards.
REENTRY_PRELUDE = """
import gc, itertools, json
from Corvalex import Index, Indexable, PyQueryExpr as Q

REFUSALS = ("Already borrowed", "Already mutably borrowed")
counter = itertools.count()

def attempt(action):
    try:
        exec(action)
        outcomes.add("ran")
    except RuntimeError as error:
        assert str(error) in REFUSALS, error
        outcomes.add("refused")

class Hostile:
    def __init__(self, mode, action):
        self.mode, self.action = mode, action
    def __hash__(self):
        attempt(self.action)
        if self.mode == "raise":
            raise ValueError("hash refused")
        return next(counter) if self.mode == "shift" else 12345
    def __eq__(self, other):
        raise ValueError("no equality")

def arm(action, count=3):
    # Cycles whose finaliser runs `action`, the collector set to run at the
    # next allocation of a tracked object.
    class Finaliser:
        def __del__(self):
            attempt(action)
            seen.append(1)
    gc.collect()
    gc.disable()
    for _ in range(count):
        cycle = Finaliser()
        cycle.self = cycle
    gc.set_threshold(1)
    gc.enable()

def fresh():
    global idx, objs, w, view, copy
    idx = Index()
    objs = [Indexable(a=i % 5) for i in range(12)]
    idx.add_object_many(objs)
    w = objs[2]
    view = idx.reduced(a=[1, 2, 3])
    copy = idx.reduced(a=list(range(5))).rebase()

def check(index):
    stored = index.collect()
    for value in {o.a for o in stored}:
        want = [o for o in stored if o.a == value]
        assert index.get_by_attribute(a=value) == want, value
        if type(value) is int:
            assert index.reduced_query(Q.bt("a", value, value)).collect() == want, value
"""

ACTIONS = {
    "index the object": "idx.add_object(w)",
    "add objects": "idx.add_object_many([Indexable(a=3)])",
    "look up": "idx.get_by_attribute(a=1)",
    "list the view": "view.collect()",
    "write the object": "setattr(w, 'a', 2)",
    "query": "idx.reduced_query(Q.gt('a', 1)).collect()",
    "narrow the view": "view.reduced(a=2).reduced_query(Q.lt('a', 3)).collect()",
    "rebase the view": "view.rebase()",
    "reduce": "idx.reduce(a=list(range(10)))",  # keeps every object findable
    "union": "idx.union_with(copy)",
}
HELD_OBJECT = {"index the object", "write the object", "rebase the view", "reduce"}
HELD_INDEX = {"index the object", "add objects", "reduce", "union"}
# call: (code, with `h` a value whose hash may run an action; the actions
# refused while the call runs that hash)
CALLS = {
    "Indexable()": ("Indexable(a=h)", set()),
    "attribute write": ("w.x = h", HELD_OBJECT),
    "get_by_attribute": ("idx.get_by_attribute(a=[1, h])", HELD_INDEX),
    "reduced": ("idx.reduced(a=[h, 1]).collect()", HELD_INDEX),
    "view.reduced": ("view.reduced(a=h).collect()", set()),
    "reduce": ("idx.reduce(a=[h, *range(10)])", HELD_INDEX | {"look up", "query"}),
    "reduced_query": ("idx.reduced_query(Q.or_(Q.in_('a', [h, 1]), Q.eq('x', h))).collect()", set()),
    "view.reduced_query": ("view.reduced_query(Q.ne('a', h)).collect()", set()),
    # The value is stored: these read the hash captured when it was built.
    "add_object": ("idx.add_object(Indexable(a=1, x=h))", set()),
    "add_object_many": ("idx.add_object_many([Indexable(a=2, x=h), Indexable(a=3, y=[h])])", set()),
    "view.rebase": ("w.x = h; view.rebase().get_by_attribute(x=h)", HELD_OBJECT),
    "union_with": ("copy.add_object(Indexable(a=4, x=h)); idx.union_with(copy)", set()),
    # These run no hash; each call's first allocation runs the collector.
    "collect": ("idx.collect()", None),
    "view.collect": ("view.collect()", None),
}


@pytest.mark.parametrize("call", [call for call, (_, refused) in CALLS.items() if refused is not None])
def test_hostile_hashes_during_every_operation(run_isolated, call):
    code, refused = CALLS[call]
    lines = run_isolated(REENTRY_PRELUDE + f"""
for name, action in {ACTIONS!r}.items():
    outcomes = set()
    for mode in ("raise", "shift", "same"):
        fresh()
        h = Hostile(mode, action)
        {code}
        check(idx)
        check(copy)
        late = Indexable(a=99)  # still usable
        idx.add_object(late)
        w.a = 98
        assert idx.get_by_attribute(a=[98, 99]) == [w, late]
    print(json.dumps([name, sorted(outcomes)]))
""", timeout=60)
    outcomes = dict(map(json.loads, lines))
    assert list(outcomes) == list(ACTIONS)
    assert {name for name, kinds in outcomes.items() if "refused" in kinds} == refused, outcomes
    assert all("ran" in kinds for name, kinds in outcomes.items() if name not in refused), outcomes


@pytest.mark.parametrize("call", CALLS)
def test_finalisers_reentering_the_index_during_every_call(run_isolated, call):
    lines = run_isolated(REENTRY_PRELUDE + f"""
for action in {list(ACTIONS.values())!r}:
    fresh()
    seen, outcomes, h = [], set(), 1
    arm(action)
    {CALLS[call][0]}
    gc.set_threshold(700)
    gc.collect()
    check(idx)
    print(len(seen))
""", timeout=60)
    assert lines == ["3"] * len(ACTIONS)


def test_long_chains_free_and_query_without_exhausting_the_stack(run_isolated):
    lines = run_isolated("""
        import threading
        from Corvalex import Index, Indexable, PyQueryExpr as Q
        class Link(Indexable):
            pass
        for make in (Indexable, Link):
            head = None
            for _ in range(300_000):
                head = make(next=head)
            del head
        head = None
        for n in range(100_000):
            head = Indexable(n=n, next=head)
        index = Index()
        index.add_object(head)
        index.add_object_many([head.next, head.next.next])
        assert index.reduced_query(Q.eq("next.next.next.n", 99_996)).collect() == [head]
        copy = index.reduced(n=[99_999, 99_998]).rebase()
        index.reduce(n=99_999)
        index.union_with(copy)
        assert index.get_by_attribute(n=99_998) == [head.next]
        head.next = None  # the old chain is freed from here
        assert index.get_by_attribute(next=None) == [head]
        del index, copy, head

        def deep():  # any recursion per tree level would overflow this thread's stack
            objs = [Indexable(a=i % 3) for i in range(30)]
            index = Index()
            index.add_object_many(objs)
            negated, nested = Q.eq("a", 1), Q.gt("a", 0)
            for i in range(100_000):
                negated = Q.not_(negated)
                nested = Q.and_(nested, Q.ge("a", 0)) if i % 2 else Q.or_(Q.lt("a", -5), nested)
            twice = Q.and_(negated, negated, nested)
            assert repr(twice).count("Not(") == 200_000
            assert index.reduced_query(negated).collect() == [o for o in objs if o.a == 1]
            assert index.reduced_query(nested).reduced_query(twice).collect() == [o for o in objs if o.a == 1]
            print("deep")

        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=deep)
        thread.start()
        thread.join()
        print("freed")
        """, timeout=600)
    assert lines == ["deep", "freed"]


class Payload:
    """A weakly referenceable marker placed inside a cycle."""


def cycle(kind):
    index = Index()
    obj = Indexable(kind="a", payload=Payload())
    index.add_object(obj)
    if kind == "list holding the index":
        obj.holder = [index]
    elif kind == "index":
        obj.index = index
    elif kind == "view":
        obj.view = index.reduced(kind="a")
    elif kind == "nested value":  # the owner is stored in the index's nested table too
        obj.owner = Indexable(back=index, payload=obj.payload)
    elif kind == "attribute":
        obj.me = obj
    elif kind == "expression":
        obj.query = Q.not_(Q.in_("x", [obj, 1]))
    return weakref.ref(obj.payload)


@pytest.mark.parametrize("kind", ["list holding the index", "index", "view", "nested value", "attribute", "expression"])
def test_cycles_through_objects_indexes_and_views_are_collected(kind):
    payload = cycle(kind)
    gc.collect()
    assert payload() is None


def test_a_live_view_keeps_the_objects_of_a_collected_index():
    index = Index()
    kept = Indexable(kind="a", payload=Payload())
    index.add_object(kept)
    kept.holder = [index]
    view, payload = index.reduced(kind="a"), weakref.ref(kept.payload)
    del index, kept
    gc.collect()
    assert payload() is not None and [o.kind for o in view.collect()] == ["a"]


def test_memory_and_time_follow_what_is_held(run_isolated):
    lines = run_isolated("""
        from Corvalex import Index, Indexable

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096

        before = rss()
        obj = Indexable()
        for i in range(10_000):
            setattr(obj, f"name_{i}", i)
        index = Index()
        index.add_object(obj)
        for i in range(0, 10_000, 7):
            setattr(obj, f"name_{i}", -i)
        assert index.get_by_attribute(name_7=-7) == index.get_by_attribute(name_9999=9999) == [obj]
        print(rss() - before)

        for _ in range(3_000_000):  # pushes the id counter into the millions
            Indexable()
        lone = Indexable(kind="lone")
        batch = [Indexable(kind="kept", n=n) for n in range(1_000)]
        before = rss()
        index = Index()
        index.add_object(lone)
        many = Index()
        many.add_object_many(batch)
        rebased = many.reduced(kind="kept").rebase()
        grown = rss() - before
        assert index.collect() == [lone] and rebased.collect() == batch
        assert rebased.get_by_attribute(n=500) == [batch[500]]
        print(grown)
        """, timeout=120)
    names, ids = map(int, lines)
    # Quadratic growth cost 1.6 GB for the names; a slot for every id below
    # the highest one 24 MB per table.
    assert names < (200 if SANITIZED else 40) * 1024 * 1024  # redzones and quarantine inflate RSS
    assert ids < 4 * 1024 * 1024
    index, obj = Index(), Indexable(a=0)
    started = time.perf_counter()
    for _ in range(8000):
        index.add_object(obj)
    for value in range(1, 200):
        obj.a = value
    assert index.get_by_attribute(a=199) == [obj] and index.get_by_attribute(a=0) == []
    assert time.perf_counter() - started < 1.0  # quadratic re-adds took seconds


if __name__ == "__main__":
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    print(f"growth per 10,000 calls, measured over {iterations} calls after as many")
    print(f"{'operation':46} {'blocks':>8} {'bytes':>10} refs")
    for group in GROUPS:
        for figures in leak_child(group, iterations):
            scale = 10_000 / iterations
            print(f"{figures['name']:46} {figures['blocks'][1] * scale:8.0f} "
                  f"{figures['bytes'][1] * scale:10.0f} {max(figures['refs'], key=abs) * scale:.0f}")
