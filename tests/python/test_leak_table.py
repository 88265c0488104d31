"""Leak table: every public operation, failing calls and error paths
included, run many times in a child interpreter. Neither memory blocks, nor
the bytes held by malloc (where the index core allocates), nor the reference
counts of the values used may grow with the number of iterations.

`python tests/python/test_leak_table.py` prints the growth per 10,000
iterations of every operation."""

import json
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
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

# name: (setup, step with `i`, expected exception or None)
OPERATIONS = {
    # the measurement's own cost, for comparison
    "nothing": ("", "pass", None),
    # construction
    "Indexable(int, str, float, None, big int)": ("", "Indexable(a=i, b='x', c=1.5, d=None, e=big)", None),
    "Indexable(tuple, list, indexable)": ("", "Indexable(t=(1, 2), l=[1, 2], n=owner)", None),
    "Indexable(raising __hash__/__eq__)": ("", "Indexable(a=bad, b=badeq)", None),
    "Indexable(int beyond 64 bits)": ("", "Indexable(a=huge)", OverflowError),
    "Indexable subclass": ("", "Sub(a=i)", None),
    "Indexable(positional)": ("", "Indexable(1, 2)", None),
    "Index(argument)": ("", "Index(1)", TypeError),
    "FilteredIndex()": ("", "type(view)()", TypeError),
    # attribute writes
    "write int": ("", "w.a = i % 5", None),
    "write new str": ("", "w.b = str(i % 100)", None),
    "write indexable": ("", "w.owner = owner if i % 2 else objs[1]", None),
    "write raising __hash__": ("", "w.x = bad", None),
    "write int beyond 64 bits": ("", "w.a = huge", OverflowError),
    "write unindexed": ("", "Indexable(a=1).a = 2", None),
    "delete attribute": ("", "del w.a", AttributeError),
    "read missing attribute": ("", "w.missing", AttributeError),
    # insertion
    "add_object to a new index": ("", "Index().add_object(Indexable(a=i, o=owner))", None),
    "add_object again": ("", "idx.add_object(w)", None),
    "add_object(keyword)": ("", "idx.add_object(py_ref=w)", None),
    "add_object(non-indexable)": ("", "idx.add_object(5)", TypeError),
    "add_object()": ("", "idx.add_object()", TypeError),
    "add_object refused in a write": ("h = refusing(lambda: idx.add_object(w))", "w.h = h", None),
    "add_object_many to a new index": ("", "Index().add_object_many([Indexable(a=j) for j in range(5)])", None),
    "add_object_many again": ("", "idx.add_object_many(objs[:5])", None),
    "add_object_many(str)": ("", "idx.add_object_many('ab')", TypeError),
    "add_object_many(non-sequence)": ("", "idx.add_object_many(5)", TypeError),
    "add_object_many(bad item)": ("", "idx.add_object_many([w, 5])", TypeError),
    "add_object_many(duplicate)": ("", "idx.add_object_many([w, w])", RuntimeError),
    "add_object_many(raising sequence)": ("s = BadSeq()", "idx.add_object_many(s)", ValueError),
    "add_object_many refused in a write": (
        "h = refusing(lambda: idx.add_object_many([objs[0], w]))", "w.h = h", None),
    # lookups
    "get_by_attribute(one)": ("", "idx.get_by_attribute(a=1)", None),
    "get_by_attribute(any of, two names)": ("", "idx.get_by_attribute(a=[1, 2], b='7')", None),
    "get_by_attribute(indexable)": ("", "idx.get_by_attribute(owner=owner)", None),
    "get_by_attribute(unknown name)": ("", "idx.get_by_attribute(zz=1)", None),
    "get_by_attribute(raising __hash__/__eq__)": ("", "idx.get_by_attribute(a=bad, b=badeq)", None),
    "get_by_attribute(positional)": ("", "idx.get_by_attribute(1)", TypeError),
    "collect": ("", "idx.collect()", None),
    # views
    "reduced": ("", "idx.reduced(a=1).collect()", None),
    "reduced(positional)": ("", "idx.reduced(1)", TypeError),
    "view.collect": ("", "view.collect()", None),
    "view.reduced": ("", "view.reduced(a=1).collect()", None),
    "view.reduced_query": ("", "view.reduced_query(Q.lt('c', 5)).collect()", None),
    "view.rebase": ("", "view.rebase().collect()", None),
    "view.rebase refused in a write": ("h = refusing(lambda: view.rebase())", "w.h = h", None),
    "view dropped with its index": (
        "", "j = Index(); j.add_object_many(objs[:10]); v = j.reduced(a=1); del j; v.collect()", None),
    # query expressions
    "reduced_query(eq)": ("", "idx.reduced_query(Q.eq('a', 1)).collect()", None),
    "reduced_query(ne)": ("", "idx.reduced_query(Q.ne('a', 1)).collect()", None),
    "reduced_query(gt, ge)": ("", "idx.reduced_query(Q.gt('c', 2)); idx.reduced_query(Q.ge('c', 2.5))", None),
    "reduced_query(lt, le)": ("", "idx.reduced_query(Q.lt('c', 2)); idx.reduced_query(Q.le('c', big))", None),
    "reduced_query(bt)": ("", "idx.reduced_query(Q.bt('c', 1, 4.5)).collect()", None),
    "reduced_query(in_)": ("", "idx.reduced_query(Q.in_('b', ['1', '2', bad])).collect()", None),
    "reduced_query(and_, or_, not_)": (
        "", "idx.reduced_query(Q.or_(Q.and_(Q.eq('a', 1), Q.gt('c', 0)), Q.not_(Q.eq('a', 2))))", None),
    "reduced_query(dotted path)": ("", "idx.reduced_query(Q.eq('owner.name', 'owner')).collect()", None),
    "reduced_query(deep expression)": (
        "", "e = Q.eq('a', 1)\nfor _ in range(50): e = Q.not_(e)\nidx.reduced_query(e)", None),
    "reduced_query(range on indexable)": ("", "idx.reduced_query(Q.gt('c', owner))", NotImplementedError),
    "expression(int beyond 64 bits)": ("", "Q.gt('c', huge)", OverflowError),
    "reduced_query(bt of str)": ("", "idx.reduced_query(Q.bt('c', 'x', 'y'))", NotImplementedError),
    "reduced_query(non-expression)": ("", "idx.reduced_query(5)", TypeError),
    "expression repr": ("", "repr(Q.and_(Q.eq('a', big), Q.in_('b', ['x'])))", None),
    "expression(non-str name)": ("", "Q.eq(1, 2)", TypeError),
    "expression in_(non-sequence)": ("", "Q.in_('a', 5)", TypeError),
    # derived indexes
    "reduce a new index": ("", "j = Index(); j.add_object_many(objs); j.reduce(a=1)", None),
    "reduce again": ("", "idx.reduce(a=[0, 1, 2, 3, 4])", None),
    "reduce(positional)": ("", "idx.reduce(1)", TypeError),
    "reduce refused in a write": ("h = refusing(lambda: idx.reduce(a=2))", "w.h = h", None),
    "union_with": ("", "idx.union_with(other)", None),
    "union_with(itself)": ("", "idx.union_with(idx)", RuntimeError),
    "union_with(non-index)": ("", "idx.union_with(5)", TypeError),
    "reduce then union_with a copy": (
        "",
        "j = Index(); j.add_object_many(objs); c = j.reduced(a=[0, 1, 2, 3, 4]).rebase()\n"
        "j.reduce(a=1); j.union_with(c); j.get_by_attribute(a=2)",
        None,
    ),
    # dropping
    "cycle through an index": (
        "", "j = Index(); o = Indexable(a=i); j.add_object(o); o.j = j; del j, o\n"
        "if i % 100 == 0: gc.collect()", None),
}

RUNNER = """
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

def run(n):
    raised = 0
    for i in range(n):
        try:
            step(i)
        except Exception as error:
            if EXPECTED is None or not isinstance(error, EXPECTED):
                raise
            raised += 1
    assert EXPECTED is None or raised == n, f"raised {raised} of {n}"

def measure():
    gc.collect()
    return sys.getallocatedblocks(), heap(), [sys.getrefcount(v) for v in TRACKED]

run(N // 5)
b0, h0, r0 = measure()
run(N)
b1, h1, r1 = measure()
run(N)
b2, h2, r2 = measure()
print(json.dumps({"blocks": [b1 - b0, b2 - b1], "bytes": [h1 - h0, h2 - h1],
                  "refs": [a - b for a, b in zip(r2, r1)]}))
"""


def child_code(name, iterations):
    setup, step, expected = OPERATIONS[name]
    body = textwrap.indent(step, "    ")
    return (
        PRELUDE
        + setup
        + f"\nEXPECTED = {expected.__name__ if expected else None}\nN = {iterations}\n"
        + f"def step(i):\n    global e, j, v, o, c\n{body}\n"
        + RUNNER
    )


def measure(name, iterations):
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", child_code(name, iterations)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
    return json.loads(result.stdout.splitlines()[-1])


# The sanitized run allocates with malloc: no block counts there, and every
# call is several times slower.
SANITIZED = sys.getallocatedblocks() == 0
ITERATIONS = 500 if SANITIZED else 4000


@pytest.mark.parametrize("name", OPERATIONS)
def test_no_operation_leaks(name):
    figures = measure(name, ITERATIONS)
    blocks_first, blocks_second = figures["blocks"]
    bytes_first, bytes_second = figures["bytes"]
    assert figures["refs"] == [0] * len(figures["refs"]), figures
    # A leak of one block or one small allocation per call grows by the
    # number of calls in each half; caches fill once, in the first.
    assert blocks_second < ITERATIONS // 50, figures
    assert bytes_second < ITERATIONS * 4, figures


if __name__ == "__main__":
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    print(f"growth per 10,000 calls, measured over {iterations} calls after as many")
    print(f"{'operation':46} {'blocks':>8} {'bytes':>10} refs")
    for name in OPERATIONS:
        figures = measure(name, iterations)
        scale = 10_000 / iterations
        print(
            f"{name:46} {figures['blocks'][1] * scale:8.0f} {figures['bytes'][1] * scale:10.0f} "
            f"{max(figures['refs'], key=abs) * scale:.0f}"
        )
